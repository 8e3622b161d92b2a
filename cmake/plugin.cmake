# Helpers shared by the two plug-in builds.
set(CLOUD_ACCESS_DIR ${CMAKE_SOURCE_DIR}/plugins/cloud_access)
# Each plug-in core compiles its own copy of these, with its HARKWIRE_PLUGIN or
# SPEAKWIRE_PLUGIN definition and its own cloud_access_plugin.h on the include path.
# The token client comes first so that `tokenwrapper` is constructed before `endpoint`.
set(CLOUD_ACCESS_SOURCES
  ${CLOUD_ACCESS_DIR}/token_wrapper.cpp
  ${CLOUD_ACCESS_DIR}/websocket_tls.cpp
  ${CLOUD_ACCESS_DIR}/websocket_connection.cpp
  ${CLOUD_ACCESS_DIR}/websocket_endpoint.cpp
  ${CLOUD_ACCESS_DIR}/websocket_send.cpp
  ${CLOUD_ACCESS_DIR}/websocket_socket.cpp)
set(PLUGIN_EXPORT_MAP ${CMAKE_SOURCE_DIR}/cmake/plugin.map)

# A plug-in's code as a static library, so that unit tests can link the same objects.
function(plugin_core_library name)
  add_library(${name} STATIC ${ARGN})
  set_target_properties(${name} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    C_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    POSITION_INDEPENDENT_CODE ON)
  target_include_directories(${name} PUBLIC ${MRCP_API_INCLUDE_DIRS} ${CLOUD_ACCESS_DIR})
  target_link_libraries(${name} PUBLIC
    Boost::system Boost::thread Boost::chrono Boost::random
    OpenSSL::SSL OpenSSL::Crypto CURL::libcurl PkgConfig::JSONCPP
    PkgConfig::APRUTIL PkgConfig::APR Threads::Threads)
endfunction()

# The loadable plug-in: only the four entry points are exported, so that two plug-ins
# loaded into one process with RTLD_GLOBAL never bind to each other's code.
function(plugin_shared_library name core)
  add_library(${name} MODULE ${ARGN})
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LINK_DEPENDS ${PLUGIN_EXPORT_MAP})
  target_link_libraries(${name} PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,${core}>")
  target_link_options(${name} PRIVATE -Wl,--version-script=${PLUGIN_EXPORT_MAP} -Wl,--exclude-libs,ALL)
endfunction()
