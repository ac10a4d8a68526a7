# QuorvexLumenPlug's tests drive the program itself (and, through capture,
# the camera component) and test its media pieces directly.
if(TARGET tools_tests)
  add_dependencies(tools_tests QuorvexLumenPlug)
  if(TARGET orvid_component)
    add_dependencies(tools_tests orvid_component)
  endif()
  target_link_libraries(tools_tests PRIVATE lumenplug_media)
endif()
