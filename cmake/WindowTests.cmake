# Programs that open windows run with a real X display (Xvfb) and a Wine prefix whose graphics
# driver is X11 (scripts/x11-session), brought up before them and ended after them by a ctest
# fixture. The rest of the suite keeps the null graphics driver of the usual prefix.
set(PENNARK_X11_SESSION ${CMAKE_SOURCE_DIR}/scripts/x11-session)
set(PENNARK_X11_RUN ${CMAKE_SOURCE_DIR}/scripts/wine-run-x11)
add_test(NAME X11.Start COMMAND ${PENNARK_X11_SESSION} start ${CMAKE_BINARY_DIR} ${CMAKE_CROSSCOMPILING_EMULATOR})
add_test(NAME X11.Stop COMMAND ${PENNARK_X11_SESSION} stop ${CMAKE_BINARY_DIR})
set_tests_properties(X11.Start PROPERTIES FIXTURES_SETUP x11 TIMEOUT 300 LABELS x11)
set_tests_properties(X11.Stop PROPERTIES FIXTURES_CLEANUP x11 TIMEOUT 60 LABELS x11)

# pennark_window_test(NAME SOURCES... LIBS ...): a test program whose cases run one at a time
# on the X display (windows of two programs would take each other's focus).
function(pennark_window_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;PROPERTIES" ${ARGN})
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PENNARK_X11_RUN} ${CMAKE_CROSSCOMPILING_EMULATOR})
  pennark_test(${name} SOURCES ${T_SOURCES} LIBS ${T_LIBS}
               PROPERTIES FIXTURES_REQUIRED x11 RESOURCE_LOCK x11_display LABELS x11 ${T_PROPERTIES})
endfunction()
