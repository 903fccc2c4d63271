# The documents a distribution wants beside the programs, and the packages: Debian packages
# (cpack -G DEB) on Linux, a ZIP of the .exe files on Windows.
set(CPACK_PACKAGE_NAME irstack)
set(CPACK_PACKAGE_VENDOR "irstack project")
set(CPACK_PACKAGE_CONTACT "irstack maintainers <maintainers@irstack.org>")
set(CPACK_STRIP_FILES ON)
if(WIN32)
    install(FILES README.md LICENSE DESTINATION .)
    set(CPACK_GENERATOR ZIP)
    include(CPack)
    return()
endif()

# The changelog's top entry names the version the packages get; a new version needs an entry.
file(STRINGS packaging/changelog changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^irstack \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/changelog starts with '${changelog_top}', but the project "
                        "is version ${PROJECT_VERSION}: add an entry for it")
endif()
set(changelog_gz ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${changelog_gz}
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/packaging/changelog
            ${PROJECT_BINARY_DIR}/packaging/changelog
    COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/packaging/changelog
    DEPENDS packaging/changelog VERBATIM)
add_custom_target(changelog_gz ALL DEPENDS ${changelog_gz})
# The copyright file holds the licence, so LICENSE itself is not installed twice.
install(FILES README.md packaging/copyright ${changelog_gz} DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Three packages, one per install component: the programs (component "programs", where every
# install without a component of its own goes), the shared library (libirstack0, named after
# its soname) and what a program is built with (libirstack-dev).
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE irstack)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME irstack)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PROGRAMS_DESCRIPTION
"infrared link stack with an IrCOMM serial-port bridge
irstack is a compact infrared link stack for serial-port infrared transceivers:
SIR framing, IrLAP, IrLMP with IAS, TinyTP and IrCOMM, each cut down to the
path that carries a serial channel between a computer and a device.

primary_pty_a offers the IrCOMM channel of a phone or meter as a
pseudo-terminal that any terminal program or script opens like a serial port;
secondary_pty_a does the same on the device side. primary_demo_a and
secondary_demo_a are console programs that show the protocol frame by frame.
Each program is also built for variant B transceivers (suffix _b), and
irstack-vlink, a virtual infrared link between two pseudo-terminals, lets them
be tried without hardware.

irstackd serves a dongle to every program of the machine through a local
socket (a systemd unit template starts one per dongle); irstack-ctl shows
what its ports are doing.")

if(NOT TARGET irstack_shared)
    set(CPACK_COMPONENTS_ALL programs)
    include(CPack)
    return()
endif()
set(CPACK_COMPONENTS_ALL programs runtime development)
set(runtime_package libirstack0)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${runtime_package})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
"infrared link stack for applications - shared library
libirstack gives a C program the infrared link of a serial-port transceiver:
it lists the devices in range, connects to a service by its IAS names or a
fixed selector, offers a service on the device side, and moves bytes over an
IrCOMM or raw TinyTP channel, with time-outs and a descriptor for poll.

This package holds the shared library.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libirstack-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${runtime_package} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
"infrared link stack for applications - development files
libirstack gives a C program the infrared link of a serial-port transceiver:
it lists the devices in range, connects to a service by its IAS names or a
fixed selector, offers a service on the device side, and moves bytes over an
IrCOMM or raw TinyTP channel, with time-outs and a descriptor for poll.

This package holds the header, the pkg-config file, the static library,
the irstack(3) manual page, the library's guide and its example programs.")

# Each package carries its own copyright and changelog; a plain install leaves these copies out.
foreach(component runtime development)
    string(TOUPPER ${component} upper)
    install(FILES packaging/copyright ${changelog_gz}
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
            COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
# The guide and the example programs it points to.
set(development_doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME})
install(FILES docs/library.md DESTINATION ${development_doc} COMPONENT development EXCLUDE_FROM_ALL)
install(DIRECTORY lib/examples/ DESTINATION ${development_doc}/examples COMPONENT development
        EXCLUDE_FROM_ALL FILES_MATCHING PATTERN "*.c")

# The library's shlibs file, which makes a program linked with it depend on its package, and
# the trigger that refreshes the loader's cache, as a distribution's build would ship them.
set(shlibs_root ${PROJECT_BINARY_DIR}/packaging/shlibs-root)
file(MAKE_DIRECTORY ${shlibs_root}/DEBIAN ${shlibs_root}/lib)
file(WRITE ${shlibs_root}/DEBIAN/shlibs
     "libirstack 0 ${runtime_package} (>= ${PROJECT_VERSION})\n")
file(WRITE ${PROJECT_BINARY_DIR}/packaging/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${shlibs_root}/DEBIAN/shlibs
    ${PROJECT_BINARY_DIR}/packaging/triggers)
# The library in a tree of its own beside that shlibs file, as in the runtime package's build
# tree: dpkg-shlibdeps finds it there for the programs, and for the library's own dependencies.
get_target_property(irs_lib_dir irstack_shared BINARY_DIR)
file(CREATE_LINK ${irs_lib_dir}/libirstack.so.0 ${shlibs_root}/lib/libirstack.so.0 SYMBOLIC)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${shlibs_root}/lib)
# cpack's own dpkg-shlibdeps run on the library would also give its package maintainer scripts
# that call ldconfig; packaging/cpack_project.cmake finds the library's dependencies instead.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS OFF)
set(CPACK_IRSTACK_SHLIBS_ROOT ${shlibs_root})
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/cpack_project.cmake)
include(CPack)
