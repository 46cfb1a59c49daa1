# Debian packages, made by CPack from the install components:
#
#   cmake --preset deb && cmake --build --preset deb && cpack --preset deb
#   (scripts/package.sh does that with Debian's build flags)
#
# One package per component, split the way Debian splits a library. The
# table below is the one place to extend: a component that some directory
# installs into must have a row (or be "doc", which no package takes), and a
# row whose component nothing installs into makes no package. New files of an
# existing package (the gateway's program, man page, unit and example
# configuration in zelqd-tools, say) need only install(... COMPONENT tools).
#
# Dependencies on shared libraries come from dpkg-shlibdeps; the ones it
# cannot see (programs that load the driver with dlopen, the Python binding)
# come from the component dependencies, which name the package of the same
# version. Every package carries /usr/share/doc/<package>/copyright
# (machine-readable, made from LICENSE) and changelog.Debian.gz.

set(ZELQD_DEB_RELEASE 1 CACHE STRING "Debian revision of the packages")
set(ZELQD_DEB_MAINTAINER "The zelqd developers <zelqd@example.org>"
    CACHE STRING "Maintainer field of the packages")
set(ZELQD_DEB_VERSION ${PROJECT_VERSION}-${ZELQD_DEB_RELEASE})

set(_zelqd_deb_components "")
# zelqd_deb_package(COMPONENT PACKAGE SECTION section [ARCHITECTURE arch]
#                   [DEPENDS component...] [EXTRA_DEPENDS text] [CONTROL file...]
#                   SUMMARY text DESCRIPTION text)
function(zelqd_deb_package component package)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "SECTION;ARCHITECTURE;EXTRA_DEPENDS;SUMMARY;DESCRIPTION"
                        "DEPENDS;CONTROL")
  string(TOUPPER ${component} c)
  set(_zelqd_deb_components ${_zelqd_deb_components} ${component} PARENT_SCOPE)
  set(CPACK_DEBIAN_${c}_PACKAGE_NAME ${package} PARENT_SCOPE)
  set(CPACK_DEBIAN_${c}_PACKAGE_SECTION ${arg_SECTION} PARENT_SCOPE)
  set(CPACK_DEBIAN_${c}_DESCRIPTION "${arg_SUMMARY}\n${arg_DESCRIPTION}" PARENT_SCOPE)
  set(CPACK_COMPONENT_${c}_DEPENDS ${arg_DEPENDS} PARENT_SCOPE)
  if(arg_ARCHITECTURE)
    set(CPACK_DEBIAN_${c}_PACKAGE_ARCHITECTURE ${arg_ARCHITECTURE} PARENT_SCOPE)
  endif()
  if(arg_EXTRA_DEPENDS)
    set(CPACK_DEBIAN_${c}_PACKAGE_DEPENDS "${arg_EXTRA_DEPENDS}" PARENT_SCOPE)
  endif()
  if(arg_CONTROL)
    set(CPACK_DEBIAN_${c}_PACKAGE_CONTROL_EXTRA "${arg_CONTROL}" PARENT_SCOPE)
  endif()
endfunction()

# Descriptions: a synopsis, then text in lines of at most 79 characters.
set(_about
    "zelqd is a communication driver for industrial process control. A host
application loads the shared library and calls its single export, ZelMain,
to open a serial port and to read and write numeric process variables on a
remote host computer over an RS232 line: short ASCII frames with an 8-bit
checksum, fixed-length replies, up to five attempts per transfer, and a STOP
pseudo-variable that suspends all traffic.
")
set(_debian ${PROJECT_SOURCE_DIR}/packaging/debian)
set(_made ${PROJECT_BINARY_DIR}/packaging)

# The library's symbols file names the release in which each symbol first
# appeared (ZelMain: 1.0.0), which later releases keep; its trigger updates
# the loader's cache.
configure_file(${_debian}/libzelqd.symbols.in ${_made}/runtime/symbols @ONLY)
configure_file(${_debian}/libzelqd.triggers ${_made}/runtime/triggers COPYONLY)
zelqd_deb_package(
  runtime libzelqd${PROJECT_VERSION_MAJOR} SECTION libs
  CONTROL ${_made}/runtime/symbols ${_made}/runtime/triggers
  SUMMARY "driver for a remote host computer on an RS232 line"
  DESCRIPTION "${_about}\nThis package contains the shared library.")
zelqd_deb_package(
  dev libzelqd-dev SECTION libdevel DEPENDS runtime
  SUMMARY "driver for a remote host computer on an RS232 line - development files"
  DESCRIPTION
    "${_about}
This package contains the header, the pkg-config file, the CMake package and
the zelqd(3) manual page.")
zelqd_deb_package(
  tools zelqd-tools SECTION utils DEPENDS runtime
  SUMMARY "poll tool, simulator and network gateway for the zelqd serial driver"
  DESCRIPTION
    "${_about}
zelpoll reads and writes the remote computer's variables through the driver
from the command line, as a host application does, once or in a polling loop;
without a port it serves an embedded simulator on a pseudo-terminal. zelsim
is the remote computer: it answers the driver's frames on a pseudo-terminal
or a serial device, with fault injection for testing. zelgw is a service
that serves the variables over Modbus TCP and MQTT, with a status page and
Prometheus metrics; its systemd unit is included.")
zelqd_deb_package(
  python python3-zelqd SECTION python ARCHITECTURE all DEPENDS runtime EXTRA_DEPENDS "python3"
  SUMMARY "Python 3 binding of the zelqd serial driver"
  DESCRIPTION
    "${_about}
This package contains the Python 3 module, which loads the shared library.")

# Components that packages are made of, in the order of the table; any other
# component is a mistake.
get_cmake_property(_installed COMPONENTS)
set(CPACK_COMPONENTS_ALL "")
foreach(_component IN LISTS _installed)
  if(_component STREQUAL "doc")
    continue()
  elseif(NOT _component IN_LIST _zelqd_deb_components)
    message(FATAL_ERROR "Files are installed in the component \"${_component}\", which no package "
                        "takes: add it to the table in cmake/packaging.cmake")
  endif()
endforeach()
foreach(_component IN LISTS _zelqd_deb_components)
  if(_component IN_LIST _installed)
    list(APPEND CPACK_COMPONENTS_ALL ${_component})
  endif()
endforeach()

# copyright (machine-readable, the license text from LICENSE) and
# changelog.Debian.gz, in every package; installed only when that package's
# component is installed on its own, as CPack does, not by a plain install.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE _license)
string(REGEX REPLACE "^.*Copyright \\(c\\) ([^\n]*)\n\n" "" _license_text "${_license}")
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" _ "${_license}")
set(_copyright_holder "${CMAKE_MATCH_1}")
string(STRIP "${_license_text}" _license_text)
string(REPLACE "\n\n" "\n.\n" _license_text "${_license_text}")
string(REPLACE "\n" "\n " _license_text "${_license_text}")
file(WRITE ${_made}/copyright
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${PROJECT_NAME}
Upstream-Contact: ${ZELQD_DEB_MAINTAINER}

Files: *
Copyright: ${_copyright_holder}
License: Expat

License: Expat
 ${_license_text}
")
configure_file(${_debian}/changelog.in ${_made}/changelog.Debian @ONLY)
execute_process(COMMAND gzip -9 -n -c INPUT_FILE ${_made}/changelog.Debian
                OUTPUT_FILE ${_made}/changelog.Debian.gz COMMAND_ERROR_IS_FATAL ANY)
foreach(_component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${_component} c)
  install(FILES ${_made}/copyright ${_made}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${c}_PACKAGE_NAME}
          COMPONENT ${_component} EXCLUDE_FROM_ALL)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "The zelqd developers")
set(CPACK_PACKAGE_CONTACT ${ZELQD_DEB_MAINTAINER})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${ZELQD_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SOURCE ${PROJECT_NAME})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# Each package's description is its own summary and text (the project's
# summary would otherwise head every one of them).
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/packaging_cpack.cmake)
include(CPack)
