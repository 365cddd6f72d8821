# cv_test_suite(NAME name LABELS area... LIBS target...)
#   Builds every *.cpp of the calling folder into test programs: files named peer_*.cpp
#   go into <name>_peer_tests (label "peer", they start real servers on loopback), the
#   rest into <name>_tests (label "unit"). Each test case is registered with CTest
#   separately so that ctest -j runs them in parallel.
function(cv_test_suite)
  cmake_parse_arguments(A "" "NAME" "LABELS;LIBS" ${ARGN})
  file(GLOB all CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  set(unit "")
  set(peer "")
  foreach(f ${all})
    get_filename_component(base ${f} NAME)
    if(base MATCHES "^peer_")
      list(APPEND peer ${f})
    else()
      list(APPEND unit ${f})
    endif()
  endforeach()
  # gtest_discover_tests flattens lists, so the label list must reach it escaped.
  string(REPLACE ";" "\\;" unit_labels "unit;${A_LABELS}")
  string(REPLACE ";" "\\;" peer_labels "peer;${A_LABELS}")
  if(unit)
    add_executable(${A_NAME}_tests ${unit})
    target_link_libraries(${A_NAME}_tests PRIVATE ${A_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
    gtest_discover_tests(${A_NAME}_tests PROPERTIES LABELS "${unit_labels}" TIMEOUT 120
                         DISCOVERY_TIMEOUT 60)
  endif()
  if(peer)
    add_executable(${A_NAME}_peer_tests ${peer})
    target_link_libraries(${A_NAME}_peer_tests PRIVATE ${A_LIBS} cv_peers GTest::gtest GTest::gtest_main Threads::Threads)
    gtest_discover_tests(${A_NAME}_peer_tests PROPERTIES LABELS "${peer_labels}" TIMEOUT 300
                         DISCOVERY_TIMEOUT 60)
  endif()
endfunction()
