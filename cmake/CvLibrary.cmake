# Helpers shared by every folder under src/.
#
# cv_static_library(NAME [SOURCES...] [LIBS ...])
#   A static protocol library: every .cpp of the folder (recursively) unless SOURCES
#   are given, -fPIC and hidden visibility so that each deliverable keeps its own copy.
function(cv_static_library name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT A_SOURCES)
    file(GLOB_RECURSE A_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  endif()
  add_library(${name} STATIC ${A_SOURCES})
  set_target_properties(${name} PROPERTIES
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON POSITION_INDEPENDENT_CODE ON)
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/src)
  if(A_LIBS)
    target_link_libraries(${name} PUBLIC ${A_LIBS})
  endif()
endfunction()

# cv_add_subdirectories(): adds every direct subfolder that has a CMakeLists.txt,
# so a new library folder needs no edit of its parent.
function(cv_add_subdirectories)
  file(GLOB children RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT children)
  foreach(child ${children})
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${child} AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()
