# cmake -DBUILD=<build dir> -DPREFIX=<empty dir> -P install_check.cmake
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX}
                RESULT_VARIABLE failed OUTPUT_QUIET)
if(failed)
    message(FATAL_ERROR "cmake --install failed")
endif()
foreach(program primary_demo_a secondary_demo_b primary_pty_b secondary_pty_a vlink)
    if(NOT EXISTS ${PREFIX}/bin/${program})
        message(FATAL_ERROR "${program} not installed in bin/")
    endif()
endforeach()
execute_process(COMMAND ${PREFIX}/bin/primary_pty_a --version OUTPUT_VARIABLE version
                RESULT_VARIABLE failed)
if(failed OR NOT version MATCHES "^primary_pty_a [0-9]+\\.[0-9]+\\.[0-9]+\n$")
    message(FATAL_ERROR "installed primary_pty_a --version: '${version}' (${failed})")
endif()
file(REMOVE_RECURSE ${PREFIX})
