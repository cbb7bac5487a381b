target_sources(quorvel_runtime PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/registry.cpp ${CMAKE_CURRENT_LIST_DIR}/registry.h
  ${CMAKE_CURRENT_LIST_DIR}/registrybackend.cpp ${CMAKE_CURRENT_LIST_DIR}/registrybackend.h
  ${CMAKE_CURRENT_LIST_DIR}/registrybackendlinux.cpp ${CMAKE_CURRENT_LIST_DIR}/registrybackendlinux.h
  ${CMAKE_CURRENT_LIST_DIR}/registrybackendmemory.cpp ${CMAKE_CURRENT_LIST_DIR}/registrybackendmemory.h
  ${CMAKE_CURRENT_LIST_DIR}/processlauncher.cpp ${CMAKE_CURRENT_LIST_DIR}/processlauncher.h
)
