# pellicle's tests run the tool itself and start stand-ins for the browsers.
add_executable(pellicle_test_browser ${CMAKE_CURRENT_LIST_DIR}/pellicle_browser.cc)
target_link_libraries(pellicle_test_browser PRIVATE quorvex_warnings)

if(TARGET tools_tests)
  add_dependencies(tools_tests pellicle pellicle_test_browser)
endif()
