quorvel_add_test(tst_sensorstatistics SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_sensorstatistics.cpp
  LIBS quorvel_logtool quorvel_testsupport)
quorvel_add_test(tst_logtoolcommand SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_logtoolcommand.cpp
  LIBS quorvel_logtool quorvel_testsupport ZLIB::ZLIB TIMEOUT 120)
target_compile_definitions(tst_logtoolcommand PRIVATE QUORVEL_LOGTOOL_PATH="$<TARGET_FILE:quorvel3-logtool>")
add_dependencies(tst_logtoolcommand quorvel3-logtool)
