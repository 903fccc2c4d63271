# irstackd as a service of the machine: a systemd unit template, one instance per dongle
# (irstackd@ttyUSB0.service); made here for its test, with the build's daemon, and by the install
# for where it puts the daemon.
set(IRSTACKD_PROGRAM ${CMAKE_CURRENT_BINARY_DIR}/irstackd)
configure_file(${CMAKE_CURRENT_LIST_DIR}/irstackd@.service.in
               ${CMAKE_CURRENT_BINARY_DIR}/unit-test/irstackd@.service @ONLY)
# Under /usr or /usr/local, both of which systemd reads.
set(IRSTACK_UNIT_DIR lib/systemd/system CACHE STRING
    "Where the systemd unit is installed, under the prefix")
