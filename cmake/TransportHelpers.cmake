# Warnings as errors on the project's own code.
function(transport_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
    -Wnon-virtual-dtor -Wcast-align -Wunused -Woverloaded-virtual -Wformat=2 -Werror)
endfunction()

function(transport_apply_sanitizer)
  if(TRANSPORT_SANITIZER STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=address,undefined)
  elseif(TRANSPORT_SANITIZER STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
  elseif(NOT TRANSPORT_SANITIZER STREQUAL "")
    message(FATAL_ERROR "TRANSPORT_SANITIZER must be address, thread or empty")
  endif()
endfunction()

# One test executable per source file, with a ctest time-out.
function(transport_test name source timeout)
  add_executable(${name} ${source} ${ARGN})
  target_link_libraries(${name} PRIVATE transport_core transport_test_support
    GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  transport_warnings(${name})
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${timeout})
endfunction()
