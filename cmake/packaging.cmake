# Debian packages, made by `cpack` in a build directory (scripts/package makes
# both):
#
#   cross build for the board (build-arm/): varnholt_VERSION_armhf.deb with the
#     static board executable (/usr/sbin/varnholt), the static release program
#     that the unit runs after it (/usr/sbin/varnholt-release), its systemd unit
#     (/lib/systemd/system/varnholt.service) and the arguments file
#     (/etc/default/varnholt, a conffile);
#   native build (build/): varnholt-tools_VERSION_ARCH.deb with the simulated
#     board (/usr/bin/varnholt-sim), the host tools, depending on the Debian
#     libraries they link, and the Wireshark dissector (hpsdr.lua) in
#     Wireshark's global Lua plugin folder,
#     /usr/lib/MULTIARCH/wireshark/plugins/, which tshark and wireshark read
#     at start whatever their version (`tshark -G folders`: "Global Lua
#     Plugins").
#
# Read at the end of the top-level CMakeLists.txt, so that every target of the
# tree exists by then.

set(VARNHOLT_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)

# Packaging installs what the build has made and builds nothing itself: the
# packaged targets are few and built by `cmake --build DIR --target
# deb_targets`; `cpack` must not first build everything else (tests,
# benchmarks) of the build directory.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# Version: the release, and the commit count of the tree so that a newer build
# installs over an older one.
set(VARNHOLT_VERSION 0.1.0)
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} -C ${CMAKE_SOURCE_DIR} rev-list --count HEAD
    OUTPUT_VARIABLE commits OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE git_result)
  if(git_result EQUAL 0 AND commits MATCHES "^[0-9]+$")
    string(APPEND VARNHOLT_VERSION "+git${commits}")
  endif()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_VERSION ${VARNHOLT_VERSION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGE_CONTACT "varnholt maintainers <root@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION hamradio)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)

set(deb_targets)
if(CMAKE_CROSSCOMPILING)
  # The toolchain file names the Debian architecture of the board.
  if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
    message(FATAL_ERROR "the toolchain file sets no CPACK_DEBIAN_PACKAGE_ARCHITECTURE")
  endif()
  set(CPACK_PACKAGE_NAME varnholt)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SDR transceiver server for the board (HPSDR Protocol 1)")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [[
The radio server for the ARM board with the FPGA radio, started at boot by
varnholt.service with the six board arguments of /etc/default/varnholt.
It serves HPSDR Protocol 1 on UDP port 1024 without authentication: keep
the board on a trusted network.]])
  # Statically linked: no shared-library dependencies.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${VARNHOLT_PACKAGING_DIR}/conffiles
    ${VARNHOLT_PACKAGING_DIR}/postinst
    ${VARNHOLT_PACKAGING_DIR}/prerm
    ${VARNHOLT_PACKAGING_DIR}/postrm)
  set(package_files
    /usr/sbin/varnholt varnholt
    /usr/sbin/varnholt-release varnholt-release
    /lib/systemd/system/varnholt.service ${VARNHOLT_PACKAGING_DIR}/varnholt.service
    /etc/default/varnholt ${VARNHOLT_PACKAGING_DIR}/varnholt.default)
else()
  set(CPACK_PACKAGE_NAME varnholt-tools)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "simulated SDR board and host tools of varnholt")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [[
varnholt-sim runs the radio server of the board on this machine with the
FPGA, the I2C bus and the serial port simulated: HPSDR Protocol 1 on UDP
port 1024, with a scene of signals on the HF bands, for trying clients.
p1probe checks a radio that speaks HPSDR Protocol 1 and can record its
sessions for Wireshark, whose dissector for Protocol 1 (hpsdr) comes with
this package.]])
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "tshark | wireshark")
  # The Depends line lists the shared libraries the executables link.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The multiarch triplet of the Debian library folders (x86_64-linux-gnu).
  set(multiarch ${CMAKE_LIBRARY_ARCHITECTURE})
  if(NOT multiarch)
    execute_process(COMMAND dpkg-architecture -qDEB_HOST_MULTIARCH
      OUTPUT_VARIABLE multiarch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(NOT multiarch)
    message(FATAL_ERROR "no multiarch triplet for the Wireshark plugin folder")
  endif()
  set(package_files
    /usr/bin/varnholt-sim varnholt-sim
    /usr/bin/p1probe p1probe
    /usr/lib/${multiarch}/wireshark/plugins/hpsdr.lua ${CMAKE_SOURCE_DIR}/tools/wireshark/hpsdr.lua)
endif()

# The package's files, written once: pairs of the installed path and what is
# installed there, a target of this tree (left out where this build
# directory does not make it) or a file of the source tree. The
# install rules, the package test (package_deb) and scripts/check-host-package
# (through build*/package-files.txt) all read this list.
set(package_paths)
while(package_files)
  list(POP_FRONT package_files path what)
  get_filename_component(dir ${path} DIRECTORY)
  get_filename_component(name ${path} NAME)
  if(NOT what MATCHES "/")
    if(NOT TARGET ${what})
      continue()  # a tool this build directory does not make
    endif()
    install(TARGETS ${what} RUNTIME DESTINATION ${dir})
    list(APPEND deb_targets ${what})
  else()
    install(FILES ${what} DESTINATION ${dir} RENAME ${name})
  endif()
  list(APPEND package_paths ${path})
endwhile()
list(JOIN package_paths "\n" package_list)
file(WRITE ${CMAKE_BINARY_DIR}/package-files.txt "${package_list}\n")

# What the package holds; scripts/package builds this and nothing more.
add_custom_target(deb_targets)
if(deb_targets)
  add_dependencies(deb_targets ${deb_targets})
endif()

include(CPack)

# Checks of the unit and of the package this build directory makes.
if(VARNHOLT_TESTS AND TARGET varnholt)
  add_test(NAME package_unit
    COMMAND sh ${CMAKE_SOURCE_DIR}/tests/packaging/check_unit.sh
            ${VARNHOLT_PACKAGING_DIR}/varnholt.service ${VARNHOLT_PACKAGING_DIR}/varnholt.default
            $<TARGET_FILE:varnholt> $<TARGET_FILE:varnholt-release>
            ${CMAKE_BINARY_DIR}/package-check/unit)
  set_tests_properties(package_unit PROPERTIES LABELS package TIMEOUT 60 SKIP_RETURN_CODE 77)
endif()
if(VARNHOLT_TESTS AND deb_targets)
  list(TRANSFORM package_paths PREPEND . OUTPUT_VARIABLE deb_expect)
  if(CMAKE_CROSSCOMPILING)
    list(PREPEND deb_expect ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE} none)
  else()
    list(PREPEND deb_expect native libc6)
  endif()
  add_test(NAME package_deb
    COMMAND sh ${CMAKE_SOURCE_DIR}/tests/packaging/check_deb.sh
            ${CMAKE_CPACK_COMMAND} ${CMAKE_BINARY_DIR}/CPackConfig.cmake ${CMAKE_BINARY_DIR}/package-check/deb
            ${deb_expect})
  set_tests_properties(package_deb PROPERTIES LABELS package TIMEOUT 120)
endif()
