quorvel_add_test(tst_htmldocument
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_htmldocument.cpp
  LIBS quorvel_acquisition quorvel_hostilepages
  TIMEOUT 60)
quorvel_add_test(tst_httpresponseparser
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_httpresponseparser.cpp
  LIBS quorvel_acquisition
  TIMEOUT 60)

# Runs against the adapter simulator, which tests/support builds and starts.
if(TARGET quorvel_testsupport)
  quorvel_add_test(tst_webpagecomponent
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_webpagecomponent.cpp
    LIBS quorvel_acquisition quorvel_testsupport Qt6::Network
    TIMEOUT 90)
endif()
