quorvel_add_test(tst_localeformats SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_localeformats.cpp LIBS quorvel_runtime)
quorvel_add_test(tst_commondialog SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_commondialog.cpp LIBS quorvel_runtime)
