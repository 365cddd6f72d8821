# What every test process needs in its environment, so that a plain `ctest` behaves as the
# scripts do: the sanitizers' suppression files.
if(CV_TSAN)
  set(CV_TEST_ENVIRONMENT "TSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/tsan.supp:second_deadlock_stack=1")
else()
  set(CV_TEST_ENVIRONMENT "LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/lsan.supp:print_suppressions=0")
endif()
# The suites of threaded code (server engine, message pump and reactor, IDLE, tasks, the
# SSH sockets and per-session pumps, the SSH-layer lock, SFTP sessions of many threads, the
# FTP, HTTP and TCP servers with their session threads, the FileTransfer control's
# background tasks) that the ThreadSanitizer build runs under the label tsan (scripts/tsan.sh).
set(CV_TSAN_SUITES sockets platform_msg core_notify imap core_task ftp_tasks ssh_net ssh_sftp ftp_sftp
    ftpsrv httpsrv tcpsrv_ocx filexfer_methods)

# cv_test_suite(NAME name LABELS area... LIBS target...)
#   Builds every *.cpp of the calling folder into test programs: files named peer_*.cpp
#   go into <name>_peer_tests (label "peer", they start real servers on loopback), the
#   rest into <name>_tests (label "unit"). Each test case is registered with CTest
#   separately so that ctest -j runs them in parallel; every case also carries the area
#   labels so that ctest -L <area> runs one area.
function(cv_test_suite)
  cmake_parse_arguments(A "" "NAME" "LABELS;LIBS" ${ARGN})
  if(CV_TSAN AND A_NAME IN_LIST CV_TSAN_SUITES)
    list(APPEND A_LABELS tsan)
  endif()
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
  if(unit)
    _cv_test_program(${A_NAME}_tests "${unit}" "${A_LIBS}" "unit;${A_LABELS}" 120)
  endif()
  if(peer)
    _cv_test_program(${A_NAME}_peer_tests "${peer}" "${A_LIBS};cv_peers" "peer;${A_LABELS}" 300)
  endif()
endfunction()

function(_cv_test_program exe sources libs labels timeout)
  add_executable(${exe} ${sources})
  target_link_libraries(${exe} PRIVATE ${libs} GTest::gtest GTest::gtest_main Threads::Threads)
  if("tsan" IN_LIST labels)
    # scripts/tsan.sh builds only these.
    if(NOT TARGET tsan_tests)
      add_custom_target(tsan_tests)
    endif()
    add_dependencies(tsan_tests ${exe})
  endif()
  gtest_discover_tests(${exe} PROPERTIES TIMEOUT ${timeout} ENVIRONMENT "${CV_TEST_ENVIRONMENT}"
                       DISCOVERY_TIMEOUT 60)
  # gtest_discover_tests flattens list-valued properties, so the labels are set by a
  # script that CTest runs after the discovered tests are defined.
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${exe}_labels.cmake)
  file(WRITE ${script}
"file(GLOB lists \"${CMAKE_CURRENT_BINARY_DIR}/${exe}*_tests.cmake\")
foreach(list_file \${lists})
  file(STRINGS \"\${list_file}\" lines REGEX \"^add_test\\\\(\")
  foreach(line IN LISTS lines)
    if(line MATCHES \"^add_test\\\\(\\\\[=\\\\[([^]]+)\\\\]=\\\\]\")
      set_tests_properties(\"\${CMAKE_MATCH_1}\" PROPERTIES LABELS \"${labels}\")
    endif()
  endforeach()
endforeach()
")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
endfunction()
