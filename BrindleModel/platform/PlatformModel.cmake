# The platform model: a Swift module over the platform framework and the C++ backend over its C interface,
# which joins brindle_model. Included from the top-level CMakeLists.txt when BRINDLE_PLATFORM_MODEL is on.
#
# On macOS the framework is the SDK's. BRINDLE_PLATFORM_STANDIN builds the same Swift module against the
# stand-in of tests/platform/FoundationModels instead, which is how Linux compiles, links and runs the bridge.

option(BRINDLE_PLATFORM_STANDIN "Build the platform model against the framework's test stand-in" OFF)
if(NOT APPLE AND NOT BRINDLE_PLATFORM_STANDIN)
  message(FATAL_ERROR "BRINDLE_PLATFORM_MODEL needs macOS 26 with its SDK (or BRINDLE_PLATFORM_STANDIN for tests)")
endif()
if(NOT CMAKE_GENERATOR MATCHES "Ninja|Xcode")
  message(FATAL_ERROR "The Swift module builds only with the Ninja or Xcode generator: configure with -G Ninja")
endif()
# With Ninja, CMake hands the deployment target to the C++ compiler only; swiftc would target the host's own
# macOS version, and a Mac on an older system than the SDK's could not build.
if(APPLE AND NOT CMAKE_Swift_COMPILER_TARGET)
  set(CMAKE_Swift_COMPILER_TARGET "arm64-apple-macosx${CMAKE_OSX_DEPLOYMENT_TARGET}")
endif()
enable_language(Swift)
# Swift's linker preference would otherwise pass to every target linking brindle_model, making swiftc the linker
# of the C++ programs (which it is not: it rejects their flags).
set(CMAKE_Swift_LINKER_PREFERENCE_PROPAGATES OFF)

set(BRINDLE_PLATFORM_DIR ${CMAKE_CURRENT_LIST_DIR})
# Swift 6 with complete concurrency checking; any warning fails the build. -parse-as-library: a one-file
# module is otherwise a script, whose main would clash with the program's.
set(BRINDLE_SWIFT_OPTIONS -parse-as-library -warnings-as-errors)

if(BRINDLE_PLATFORM_STANDIN)
  file(GLOB BRINDLE_STANDIN_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/platform/FoundationModels/*.swift)
  add_library(FoundationModels STATIC ${BRINDLE_STANDIN_SOURCES})
  # Library evolution makes its enums non-frozen unless marked @frozen, as the SDK's are. Warnings stay
  # warnings here: Linux's Foundation, which it imports, is built without library evolution, and says so.
  target_compile_options(FoundationModels PRIVATE -parse-as-library -enable-library-evolution)
  set_target_properties(FoundationModels PROPERTIES Swift_MODULE_NAME FoundationModels Swift_LANGUAGE_VERSION 6)
  set(BRINDLE_PLATFORM_FRAMEWORK FoundationModels)
else()
  set(BRINDLE_PLATFORM_FRAMEWORK "-framework FoundationModels" "-framework Foundation")
endif()

add_library(brindle_platform_bridge STATIC ${BRINDLE_PLATFORM_DIR}/PlatformBridge.swift)
target_compile_options(brindle_platform_bridge PRIVATE ${BRINDLE_SWIFT_OPTIONS})
set_target_properties(brindle_platform_bridge PROPERTIES
  Swift_MODULE_NAME BrindlePlatformSwift
  Swift_LANGUAGE_VERSION 6)
# module.modulemap beside PlatformBridge.h makes the C interface importable as BrindlePlatformBridge.
target_include_directories(brindle_platform_bridge PRIVATE ${BRINDLE_PLATFORM_DIR})
target_link_libraries(brindle_platform_bridge PUBLIC ${BRINDLE_PLATFORM_FRAMEWORK})

# A C++ link of Swift objects must find the Swift runtime the objects ask for (swiftCore and friends).
execute_process(COMMAND ${CMAKE_Swift_COMPILER} -print-target-info
                OUTPUT_VARIABLE BRINDLE_SWIFT_TARGET_INFO COMMAND_ERROR_IS_FATAL ANY)
string(JSON BRINDLE_SWIFT_PATH_COUNT LENGTH "${BRINDLE_SWIFT_TARGET_INFO}" paths runtimeLibraryPaths)
set(BRINDLE_SWIFT_RUNTIME_PATHS "")
if(BRINDLE_SWIFT_PATH_COUNT GREATER 0)
  math(EXPR BRINDLE_SWIFT_LAST_PATH "${BRINDLE_SWIFT_PATH_COUNT} - 1")
  foreach(index RANGE ${BRINDLE_SWIFT_LAST_PATH})
    string(JSON path GET "${BRINDLE_SWIFT_TARGET_INFO}" paths runtimeLibraryPaths ${index})
    list(APPEND BRINDLE_SWIFT_RUNTIME_PATHS ${path})
  endforeach()
endif()
target_link_directories(brindle_platform_bridge PUBLIC ${BRINDLE_SWIFT_RUNTIME_PATHS})

if(APPLE)
  # Swift objects name their runtime libraries in the object files, and the linker follows; the SDK has stubs
  # of the runtime that the system itself carries.
  set(BRINDLE_SDK_PATH "${CMAKE_OSX_SYSROOT}")
  if(NOT IS_DIRECTORY "${BRINDLE_SDK_PATH}")
    execute_process(COMMAND xcrun --sdk macosx --show-sdk-path
                    OUTPUT_VARIABLE BRINDLE_SDK_PATH OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  endif()
  target_link_directories(brindle_platform_bridge PUBLIC ${BRINDLE_SDK_PATH}/usr/lib/swift)
else()
  # ELF objects do not name their libraries to the linker (swiftc's own driver extracts them), so they are
  # listed here; swiftrt.o registers the program's Swift metadata (conformances, types) with the runtime.
  string(JSON BRINDLE_SWIFT_RESOURCES GET "${BRINDLE_SWIFT_TARGET_INFO}" paths runtimeResourcePath)
  string(JSON BRINDLE_SWIFT_TRIPLE GET "${BRINDLE_SWIFT_TARGET_INFO}" target triple)
  string(REGEX MATCH "^[^-]+" BRINDLE_SWIFT_ARCH "${BRINDLE_SWIFT_TRIPLE}")
  target_link_libraries(brindle_platform_bridge PUBLIC
    ${BRINDLE_SWIFT_RESOURCES}/linux/${BRINDLE_SWIFT_ARCH}/swiftrt.o
    Foundation FoundationEssentials _FoundationICU swiftSynchronization swift_Concurrency swiftDispatch dispatch
    BlocksRuntime swiftCore)
  list(TRANSFORM BRINDLE_SWIFT_RUNTIME_PATHS PREPEND "-Wl,-rpath," OUTPUT_VARIABLE BRINDLE_SWIFT_RPATHS)
  target_link_options(brindle_platform_bridge PUBLIC ${BRINDLE_SWIFT_RPATHS})
  # libdispatch's C header, for the server's main loop, comes with the Swift runtime.
  target_include_directories(brindle_platform_bridge SYSTEM INTERFACE ${BRINDLE_SWIFT_RESOURCES})
endif()

target_sources(brindle_model PRIVATE ${BRINDLE_PLATFORM_DIR}/PlatformModel.cpp)
target_link_libraries(brindle_model PUBLIC brindle_platform_bridge)
target_compile_definitions(brindle_model PUBLIC BRINDLE_HAVE_PLATFORM_MODEL=1)
