target_sources(quorvel_acquisition PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/htmldocument.cpp ${CMAKE_CURRENT_LIST_DIR}/htmldocument.h
  ${CMAKE_CURRENT_LIST_DIR}/httpresponseparser.cpp ${CMAKE_CURRENT_LIST_DIR}/httpresponseparser.h
  ${CMAKE_CURRENT_LIST_DIR}/webpagecomponent.cpp ${CMAKE_CURRENT_LIST_DIR}/webpagecomponent.h
)
