target_sources(quorvel_runtime PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/commondialog.cpp ${CMAKE_CURRENT_LIST_DIR}/commondialog.h
  ${CMAKE_CURRENT_LIST_DIR}/localeformats.cpp ${CMAKE_CURRENT_LIST_DIR}/localeformats.h
)
target_link_libraries(quorvel_runtime PUBLIC Qt6::PrintSupport)
