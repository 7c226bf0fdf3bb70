# What is installed, and the Debian package CPack builds from it
# (`cpack -G DEB` in the build folder). The programs install themselves
# (app/, scan/, watch/); this adds the systemd unit, its user, the man pages,
# the example configurations and the Slurm job script.
include(GNUInstallDirs)

set(TARVOLEN_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(TARVOLEN_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/tarvolen)

# The watcher may be built in a tree of its own; when it is here it is packaged.
if(TARGET tarvolen-watch)
  install(TARGETS tarvolen-watch RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# Man pages are installed gzipped, as Debian's policy asks.
find_program(TARVOLEN_GZIP gzip REQUIRED)
foreach(page tarvolen.1 tarvolen-scan.1 tarvolen-watch.1)
  set(gzipped ${PROJECT_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${gzipped}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND ${TARVOLEN_GZIP} -9 -n -c ${TARVOLEN_PACKAGING_DIR}/man/${page} > ${gzipped}
    DEPENDS ${TARVOLEN_PACKAGING_DIR}/man/${page}
    VERBATIM)
  list(APPEND TARVOLEN_MAN_PAGES ${gzipped})
endforeach()
add_custom_target(tarvolen_man_pages ALL DEPENDS ${TARVOLEN_MAN_PAGES})
install(FILES ${TARVOLEN_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The unit and its user, under the prefix so that an install into a home
# folder works too; in the package (prefix /usr) where systemd looks.
install(FILES ${TARVOLEN_PACKAGING_DIR}/tarvolen-watch@.service DESTINATION lib/systemd/system)
install(FILES ${TARVOLEN_PACKAGING_DIR}/tarvolen.sysusers DESTINATION lib/sysusers.d RENAME tarvolen.conf)

install(FILES
  ${PROJECT_SOURCE_DIR}/config/Tarvolen.json
  ${PROJECT_SOURCE_DIR}/config/Tarvolen.events.json
  ${TARVOLEN_PACKAGING_DIR}/examples/camera.json
  ${TARVOLEN_PACKAGING_DIR}/examples/tarvolen-alerts.yml
  DESTINATION ${TARVOLEN_DOC_DIR}/examples)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${TARVOLEN_DOC_DIR})
# tarvolen-scan as a Slurm array job over a list of files (README: "On a Slurm cluster").
install(PROGRAMS ${TARVOLEN_PACKAGING_DIR}/slurm/tarvolen-scan.sbatch DESTINATION ${CMAKE_INSTALL_DATADIR}/tarvolen/slurm)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvolen)
set(CPACK_PACKAGE_VENDOR "Tarvolen")
set(CPACK_PACKAGE_CONTACT "Tarvolen developers <tarvolen@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "motion detector: live view, file scanning and unattended event recording")
set(CPACK_PACKAGE_DESCRIPTION
    "Tarvolen marks events in video with a per-pixel Gaussian-mixture detector: a live program, a fast scanner of files and an unattended recorder for cameras and network streams, run as a systemd unit per camera.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "systemd (>= 247) | systemd-sysusers")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${TARVOLEN_PACKAGING_DIR}/debian/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
