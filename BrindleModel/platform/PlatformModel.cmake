# The platform model: a Swift module over the platform framework and the C++ backend over its C interface,
# both in brindle_kit. Included from the top-level CMakeLists.txt when BRINDLE_PLATFORM_MODEL is on.

if(NOT APPLE)
  message(FATAL_ERROR "BRINDLE_PLATFORM_MODEL needs macOS 26 with its SDK")
endif()
if(NOT CMAKE_GENERATOR MATCHES "Ninja|Xcode")
  message(FATAL_ERROR "The Swift module builds only with the Ninja or Xcode generator: configure with -G Ninja")
endif()
enable_language(Swift)

set(BRINDLE_PLATFORM_DIR ${CMAKE_CURRENT_LIST_DIR})

add_library(brindle_platform_bridge STATIC ${BRINDLE_PLATFORM_DIR}/PlatformBridge.swift)
# The warning flags above are for the C++ compiler; swiftc takes none of them.
set_property(TARGET brindle_platform_bridge PROPERTY COMPILE_OPTIONS "")
set_target_properties(brindle_platform_bridge PROPERTIES
  Swift_MODULE_NAME BrindlePlatformSwift
  Swift_LANGUAGE_VERSION 5)
# module.modulemap beside PlatformBridge.h makes the C interface importable as BrindlePlatformBridge.
target_include_directories(brindle_platform_bridge PRIVATE ${BRINDLE_PLATFORM_DIR})
target_link_libraries(brindle_platform_bridge PUBLIC "-framework FoundationModels" "-framework Foundation")

# A C++ link of Swift objects must find the Swift runtime the objects ask for (swiftCore and friends).
execute_process(COMMAND ${CMAKE_Swift_COMPILER} -print-target-info
                OUTPUT_VARIABLE BRINDLE_SWIFT_TARGET_INFO COMMAND_ERROR_IS_FATAL ANY)
string(JSON BRINDLE_SWIFT_PATH_COUNT LENGTH "${BRINDLE_SWIFT_TARGET_INFO}" paths runtimeLibraryPaths)
if(BRINDLE_SWIFT_PATH_COUNT GREATER 0)
  math(EXPR BRINDLE_SWIFT_LAST_PATH "${BRINDLE_SWIFT_PATH_COUNT} - 1")
  foreach(index RANGE ${BRINDLE_SWIFT_LAST_PATH})
    string(JSON path GET "${BRINDLE_SWIFT_TARGET_INFO}" paths runtimeLibraryPaths ${index})
    target_link_directories(brindle_platform_bridge PUBLIC ${path})
  endforeach()
endif()
# The SDK's stubs of the runtime that the system itself carries.
set(BRINDLE_SDK_PATH "${CMAKE_OSX_SYSROOT}")
if(NOT IS_DIRECTORY "${BRINDLE_SDK_PATH}")
  execute_process(COMMAND xcrun --sdk macosx --show-sdk-path
                  OUTPUT_VARIABLE BRINDLE_SDK_PATH OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
endif()
target_link_directories(brindle_platform_bridge PUBLIC ${BRINDLE_SDK_PATH}/usr/lib/swift)

target_sources(brindle_kit PRIVATE ${BRINDLE_PLATFORM_DIR}/PlatformModel.cpp)
target_link_libraries(brindle_kit PUBLIC brindle_platform_bridge)
target_compile_definitions(brindle_kit PUBLIC BRINDLE_HAVE_PLATFORM_MODEL=1)
