# Everything the installer is told at build time. The program reads no command line, environment
# variable or settings file for any of these.
set(QUORVANE_DISPLAY_NAME "Quorvane Pro" CACHE STRING "Product display name")
set(QUORVANE_BUNDLE_NAME "Quorvane Pro.app" CACHE STRING "Product app bundle file name")
set(QUORVANE_PACKAGE_NAME "Quorvane Pro.pkg" CACHE STRING "Product package file name")
set(QUORVANE_BUNDLE_IDENTIFIER "com.quorvane.pro" CACHE STRING "Product app bundle identifier")
set(QUORVANE_TEAM_IDENTIFIER "Q4ZT8WX2LM" CACHE STRING "Pinned developer team identifier")
set(QUORVANE_PLATFORM "linux" CACHE STRING "Supported-system rule: linux or macos")
set_property(CACHE QUORVANE_PLATFORM PROPERTY STRINGS linux macos)
set(QUORVANE_PKGUTIL "${CMAKE_BINARY_DIR}/tools/pkgutil" CACHE FILEPATH "Package tool the installer runs")
set(QUORVANE_CODESIGN "${CMAKE_BINARY_DIR}/tools/codesign" CACHE FILEPATH "Code-signing tool the installer runs")
set(QUORVANE_DOWNLOAD_CA_FILE "" CACHE FILEPATH
    "PEM file of the authorities the download trusts (built in); empty means the system's store")

if(QUORVANE_PLATFORM STREQUAL "macos")
  set(QUORVANE_PLATFORM_NAME "Apple silicon and macOS")
  set(QUORVANE_PLATFORM_MINIMUM 26)
  set(QUORVANE_PLATFORM_MACHINE "Mac")
elseif(QUORVANE_PLATFORM STREQUAL "linux")
  set(QUORVANE_PLATFORM_NAME "Linux")
  set(QUORVANE_PLATFORM_MINIMUM 5)
  set(QUORVANE_PLATFORM_MACHINE "computer")
else()
  message(FATAL_ERROR "QUORVANE_PLATFORM must be linux or macos")
endif()

# The diagnostic log names the installer's version and the commit it was built from.
set(QUORVANE_INSTALLER_BUILD "unknown")
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND "${GIT_EXECUTABLE}" rev-parse --short=12 HEAD
                  WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}" OUTPUT_VARIABLE git_head
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE git_result)
  if(git_result EQUAL 0 AND git_head)
    set(QUORVANE_INSTALLER_BUILD "${git_head}")
  endif()
endif()

configure_file(${CMAKE_CURRENT_LIST_DIR}/BuildConfig.h.in
               ${CMAKE_BINARY_DIR}/generated/quorvane/BuildConfig.h @ONLY)

# A throwaway signing authority for tests and the demo, made once per build folder. A release
# build points the anchors at the vendor's certificates instead.
set(QUORVANE_AUTHORITY_DIR "${CMAKE_BINARY_DIR}/authority")
if(NOT EXISTS "${QUORVANE_AUTHORITY_DIR}/application-chain.pem")
  execute_process(COMMAND "${PROJECT_SOURCE_DIR}/tools/authority/make-authority" "${QUORVANE_AUTHORITY_DIR}"
                  RESULT_VARIABLE authority_result)
  if(NOT authority_result EQUAL 0)
    message(FATAL_ERROR "could not make the test signing authority")
  endif()
endif()
set(QUORVANE_TRUST_ANCHORS "${QUORVANE_AUTHORITY_DIR}/root.pem" CACHE FILEPATH
    "PEM certificates the platform tools trust as anchors (embedded when the tools are built)")
set(QUORVANE_PLATFORM_INTERMEDIATES "${QUORVANE_AUTHORITY_DIR}/devid-ca.pem" CACHE FILEPATH
    "PEM certificates of the platform's own Developer ID intermediates (embedded in the tools)")

# The authorities the download trusts are built into the installer, as the tools' anchors are:
# a released folder runs on machines where the vendor's file is not.
set(QUORVANE_DOWNLOAD_CA_PEM "")
if(QUORVANE_DOWNLOAD_CA_FILE)
  file(READ "${QUORVANE_DOWNLOAD_CA_FILE}" QUORVANE_DOWNLOAD_CA_PEM)
  if(NOT QUORVANE_DOWNLOAD_CA_PEM MATCHES "-----BEGIN CERTIFICATE-----")
    message(FATAL_ERROR "QUORVANE_DOWNLOAD_CA_FILE ${QUORVANE_DOWNLOAD_CA_FILE} holds no PEM certificate")
  endif()
  if(QUORVANE_DOWNLOAD_CA_PEM MATCHES "\\)PEM\"")
    message(FATAL_ERROR "QUORVANE_DOWNLOAD_CA_FILE ${QUORVANE_DOWNLOAD_CA_FILE} holds the text )PEM\"")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${QUORVANE_DOWNLOAD_CA_FILE}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/DownloadAuthorities.h.in
               ${CMAKE_BINARY_DIR}/generated/quorvane/DownloadAuthorities.h @ONLY)
