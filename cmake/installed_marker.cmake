# An installed copy of the tool is told apart from a portable one (a build
# folder, an executable copied by hand) by a small marker file that
# `cmake --install`, and so the packages and the Windows installer, put near
# the executables. dist/ installs it; the platform layer looks for it at
# FWU_INSTALLED_MARKER, a path relative to the executable's folder.
#   Linux:   <prefix>/share/firmwareupgrade/installed (nothing but programs in bin/)
#   Windows: FirmwareUpgrade.installed beside the executables
include(GNUInstallDirs)
if(WIN32)
  set(FWU_MARKER_DESTINATION .)
  set(FWU_MARKER_NAME FirmwareUpgrade.installed)
  set(FWU_INSTALLED_MARKER ${FWU_MARKER_NAME})
else()
  set(FWU_MARKER_DESTINATION ${CMAKE_INSTALL_DATADIR}/firmwareupgrade)
  set(FWU_MARKER_NAME installed)
  file(RELATIVE_PATH FWU_INSTALLED_MARKER ${CMAKE_INSTALL_FULL_BINDIR}
       ${CMAKE_INSTALL_FULL_DATADIR}/firmwareupgrade/${FWU_MARKER_NAME})
endif()
