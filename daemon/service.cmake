# irstackd as a service of the machine: a systemd unit template, one instance per dongle
# (irstackd@ttyUSB0.service), made for the install prefix and, for its test, for the build.
set(IRSTACKD_PROGRAM ${CMAKE_INSTALL_FULL_BINDIR}/irstackd)
configure_file(${CMAKE_CURRENT_LIST_DIR}/irstackd@.service.in
               ${CMAKE_CURRENT_BINARY_DIR}/unit/irstackd@.service @ONLY)
set(IRSTACKD_PROGRAM ${CMAKE_CURRENT_BINARY_DIR}/irstackd)
configure_file(${CMAKE_CURRENT_LIST_DIR}/irstackd@.service.in
               ${CMAKE_CURRENT_BINARY_DIR}/unit-test/irstackd@.service @ONLY)
# Debian's place for units of packages, whatever the prefix.
set(IRSTACK_UNIT_DIR lib/systemd/system CACHE PATH "Where the systemd unit is installed")
