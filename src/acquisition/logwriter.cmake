target_sources(quorvel_acquisition PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/logrecord.cpp ${CMAKE_CURRENT_LIST_DIR}/logrecord.h
  ${CMAKE_CURRENT_LIST_DIR}/logsession.cpp ${CMAKE_CURRENT_LIST_DIR}/logsession.h
)
