quorvel_add_test(tst_logrecord SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_logrecord.cpp LIBS quorvel_acquisition)
quorvel_add_test(tst_logsession SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_logsession.cpp LIBS quorvel_acquisition)
