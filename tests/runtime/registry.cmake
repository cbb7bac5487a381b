quorvel_add_test(tst_registry SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_registry.cpp LIBS quorvel_runtime)
quorvel_add_test(tst_registrybackendlinux SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_registrybackendlinux.cpp
                 LIBS quorvel_runtime)
quorvel_add_test(tst_processlauncher SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_processlauncher.cpp
                 LIBS quorvel_runtime)
