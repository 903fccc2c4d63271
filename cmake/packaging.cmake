# The documents a distribution wants beside the programs, and the package: a Debian package
# (cpack -G DEB) on Linux, a ZIP of the .exe files on Windows.
if(WIN32)
    install(FILES README.md LICENSE DESTINATION .)
    set(CPACK_GENERATOR ZIP)
else()
    # The changelog's top entry names the version the package gets; a new version needs an entry.
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
    install(FILES README.md packaging/copyright ${changelog_gz}
            DESTINATION ${CMAKE_INSTALL_DOCDIR})
    set(CPACK_GENERATOR DEB)
endif()

set(CPACK_PACKAGE_NAME irstack)
set(CPACK_PACKAGE_VENDOR "irstack project")
set(CPACK_PACKAGE_CONTACT "irstack maintainers <maintainers@irstack.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "infrared link stack with an IrCOMM serial-port bridge")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"irstack is a compact infrared link stack for serial-port infrared transceivers:
SIR framing, IrLAP, IrLMP with IAS, TinyTP and IrCOMM, each cut down to the
path that carries a serial channel between a computer and a device.

primary_pty_a offers the IrCOMM channel of a phone or meter as a
pseudo-terminal that any terminal program or script opens like a serial port;
secondary_pty_a does the same on the device side. primary_demo_a and
secondary_demo_a are console programs that show the protocol frame by frame.
Each program is also built for variant B transceivers (suffix _b), and
irstack-vlink, a virtual infrared link between two pseudo-terminals, lets them
be tried without hardware.")
# The programs only: the library (install component "library") is not theirs to ship.
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};Unspecified;/")
include(CPack)
