# Cross build for Windows x86-64: the addon, the broker executable and the
# Windows unit tests, in one of two flavours.
set(NUVRA_FLAVOUR "release" CACHE STRING "release or testbed")
set_property(CACHE NUVRA_FLAVOUR PROPERTY STRINGS release testbed)
set(NODE_API_HEADERS_DIR "${PROJECT_SOURCE_DIR}/testbed/node_modules/node-api-headers"
    CACHE PATH "node-api-headers package")

if(NUVRA_FLAVOUR STREQUAL "testbed")
  set(policy_source ${PROJECT_SOURCE_DIR}/src/common/policy_testbed_win.cc)
elseif(NUVRA_FLAVOUR STREQUAL "release")
  set(policy_source ${PROJECT_SOURCE_DIR}/src/common/policy_release_win.cc)
else()
  message(FATAL_ERROR "NUVRA_FLAVOUR must be release or testbed")
endif()

set(static_runtime -static -static-libgcc -static-libstdc++)
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00
                        NAPI_VERSION=8)

# Everything that needs no Node-API, shared by the addon, the broker and the tests.
add_library(nuvra_native STATIC ${portable_sources} ${windows_sources} ${policy_source})
target_include_directories(nuvra_native PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_compile_options(nuvra_native PRIVATE ${warning_flags})
target_link_libraries(nuvra_native PUBLIC bcrypt advapi32)

# Import library for the Node-API functions that node.exe exports.
set(node_api_import ${CMAKE_BINARY_DIR}/libnode_api.a)
add_custom_command(OUTPUT ${node_api_import}
  COMMAND x86_64-w64-mingw32-dlltool -d ${NODE_API_HEADERS_DIR}/def/node_api.def
          -l ${node_api_import} -D node.exe
  DEPENDS ${NODE_API_HEADERS_DIR}/def/node_api.def
  COMMENT "Generating the node.exe import library")
add_custom_target(node_api_import_lib DEPENDS ${node_api_import})

add_library(nuvra_profile_startup SHARED ${napi_sources})
add_dependencies(nuvra_profile_startup node_api_import_lib)
set_target_properties(nuvra_profile_startup PROPERTIES PREFIX "" OUTPUT_NAME nuvra_profile_startup
                      SUFFIX ".node")
target_include_directories(nuvra_profile_startup PRIVATE ${NODE_API_HEADERS_DIR}/include)
target_compile_options(nuvra_profile_startup PRIVATE ${warning_flags})
target_link_options(nuvra_profile_startup PRIVATE ${static_runtime} -Wl,--exclude-all-symbols)
target_link_libraries(nuvra_profile_startup PRIVATE nuvra_native ${node_api_import})

add_library(nuvra_tools_shared STATIC ${tools_shared_sources})
target_include_directories(nuvra_tools_shared PUBLIC ${PROJECT_SOURCE_DIR}/tools)
target_compile_options(nuvra_tools_shared PRIVATE ${warning_flags})
target_link_libraries(nuvra_tools_shared PUBLIC nuvra_native)

file(GLOB broker_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tools/broker/*.cc)
add_executable(nuvra_windows_broker_native ${broker_sources})
target_compile_options(nuvra_windows_broker_native PRIVATE ${warning_flags})
target_link_options(nuvra_windows_broker_native PRIVATE ${static_runtime} -municode)
target_link_libraries(nuvra_windows_broker_native PRIVATE nuvra_tools_shared)
# The account worker's test faults exist in the testbed flavour's broker only,
# the lowered log rotation size in the testbed flavour's library only, and the
# injected failure sites (common/fault_injection.h) in everything the testbed
# flavour builds on the library.
if(NUVRA_FLAVOUR STREQUAL "testbed")
  target_compile_definitions(nuvra_windows_broker_native PRIVATE NUVRA_TESTBED_FAULTS=1)
  target_compile_definitions(nuvra_native PUBLIC NUVRA_TESTBED_FAULTS=1)
endif()

file(GLOB installer_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tools/installer/*.cc)
if(installer_sources)
  add_executable(nuvra_install_home ${installer_sources})
  target_compile_options(nuvra_install_home PRIVATE ${warning_flags})
  target_link_options(nuvra_install_home PRIVATE ${static_runtime} -municode)
  target_link_libraries(nuvra_install_home PRIVATE nuvra_tools_shared)
endif()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
file(GLOB win_tests CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/win/*.cc)
if(win_tests)
  add_executable(win_tests ${win_tests})
  target_compile_options(win_tests PRIVATE ${warning_flags})
  target_link_options(win_tests PRIVATE ${static_runtime})
  target_link_libraries(win_tests PRIVATE nuvra_tools_shared GTest::gtest_main)
endif()
