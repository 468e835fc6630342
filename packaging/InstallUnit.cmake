# Run at install time (from cmake_install.cmake): writes the systemd user unit for the
# prefix being installed to and installs it like any other file (DESTDIR, manifest).
foreach(dir QUORVANE_BINDIR QUORVANE_UNIT_DIR)
  if(NOT IS_ABSOLUTE "${${dir}}")
    set(${dir} "${CMAKE_INSTALL_PREFIX}/${${dir}}")
  endif()
endforeach()
set(CMAKE_INSTALL_FULL_BINDIR "${QUORVANE_BINDIR}")
configure_file("${QUORVANE_UNIT_TEMPLATE}" "${QUORVANE_UNIT_STAGING}/quorvane.service" @ONLY)
file(INSTALL DESTINATION "${QUORVANE_UNIT_DIR}" TYPE FILE
  FILES "${QUORVANE_UNIT_STAGING}/quorvane.service")
