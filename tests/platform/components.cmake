# The test component: a real component bundle, built as
#   <build>/tests-components/Test Component.component/
#       libtestcomponent.so
#       Resources/component.rsrc
# and found by platform_tests through QUORVEX_TEST_COMPONENTS_DIR.
set(_test_components_dir ${PROJECT_BINARY_DIR}/tests-components)
set(_test_bundle "${_test_components_dir}/Test Component.component")

add_custom_command(
  OUTPUT "${_test_bundle}/Resources/component.rsrc"
  COMMAND ${CMAKE_COMMAND} -E copy_if_different
          ${CMAKE_CURRENT_SOURCE_DIR}/testcomponent/component.rsrc
          "${_test_bundle}/Resources/component.rsrc"
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/testcomponent/component.rsrc
  COMMENT "Copying the test component's resources")

add_library(quorvex_test_component MODULE
            ${CMAKE_CURRENT_SOURCE_DIR}/testcomponent/testcomponent.cc
            "${_test_bundle}/Resources/component.rsrc")
set_target_properties(quorvex_test_component PROPERTIES
  OUTPUT_NAME testcomponent
  LIBRARY_OUTPUT_DIRECTORY "${_test_bundle}")
# Linked against the shared platform library, so that the component and the
# test program share one component registry and one memory manager.
target_link_libraries(quorvex_test_component PRIVATE quorvex_platform quorvex_warnings)

if(TARGET platform_tests)
  add_dependencies(platform_tests quorvex_test_component)
  target_compile_definitions(platform_tests PRIVATE
      QUORVEX_TEST_COMPONENTS_DIR="${_test_components_dir}")
  target_link_libraries(platform_tests PRIVATE ${CMAKE_DL_LIBS})
endif()
