# Library sources: the portable code of each subsystem plus the platform
# files of the target system. Tests (*_test.cc) live under tests/.
file(GLOB LUMSDK_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_SOURCE_DIR}/src/api/*.cc
     ${CMAKE_SOURCE_DIR}/src/leds/*.cc
     ${CMAKE_SOURCE_DIR}/src/json/*.cc
     ${CMAKE_SOURCE_DIR}/src/transport/*.cc)
if(WIN32)
  file(GLOB LUMSDK_PLATFORM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/transport/win/*.cc)
  # The entry point belongs to the DLL only.
  list(FILTER LUMSDK_PLATFORM_SOURCES EXCLUDE REGEX "win_dll_main\\.cc$")
else()
  file(GLOB LUMSDK_PLATFORM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/transport/posix/*.cc)
endif()
list(APPEND LUMSDK_SOURCES ${LUMSDK_PLATFORM_SOURCES})
