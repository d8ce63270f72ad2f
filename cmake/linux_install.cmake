# The program as Linux software, beside the bundle: the command on the PATH,
# its manual page, shell completion, AppStream metadata and the units of a
# timed read test. Paths in these files are filled in here, at configure time,
# as VLM_UTILITY_DIR is.
set(VLM_SYSTEMD_UNIT_DIR ${CMAKE_INSTALL_PREFIX}/lib/systemd/system CACHE PATH
  "Where the read test's systemd units go")

set(linux_out ${CMAKE_BINARY_DIR}/generated/linux)
set(VLM_COMMAND ${CMAKE_INSTALL_PREFIX}/bin/vlm-performance)
set(VLM_BUNDLE_PATH ${CMAKE_INSTALL_PREFIX}/${VLM_BUNDLE_DEST})
set(VLM_VERSION ${PROJECT_VERSION})
# The release date: the build's own (SOURCE_DATE_EPOCH, when given, fixes it).
string(TIMESTAMP VLM_RELEASE_DATE "%Y-%m-%d" UTC)

# The manual page shows paths as groff text: a hyphen is a minus sign there.
foreach(v VLM_COMMAND VLM_BUNDLE_PATH VLM_UTILITY_DIR VLM_POLKIT_ACTIONS_DIR VLM_SYSTEMD_UNIT_DIR)
  string(REPLACE "-" "\\-" man_${v} "${${v}}")
endforeach()
file(READ ${CMAKE_SOURCE_DIR}/resources/vlm-performance.1 man)
foreach(v VLM_COMMAND VLM_BUNDLE_PATH VLM_UTILITY_DIR VLM_POLKIT_ACTIONS_DIR)
  string(REPLACE "@${v}@" "${man_${v}}" man "${man}")
endforeach()
string(REPLACE "@VLM_UNIT_DIR@" "${man_VLM_SYSTEMD_UNIT_DIR}" man "${man}")
string(REPLACE "@VLM_VERSION@" "${VLM_VERSION}" man "${man}")
file(WRITE ${linux_out}/vlm-performance.1 "${man}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/resources/vlm-performance.1)

foreach(f vlm-performance@.service vlm-performance@.timer org.velmora.vlm_performance.metainfo.xml)
  configure_file(${CMAKE_SOURCE_DIR}/resources/${f} ${linux_out}/${f} @ONLY)
endforeach()

# The command: a relative link, so that the prefix can move.
install(CODE "
  set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/vlm-performance\")
  file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin\")
  file(REMOVE \"\${link}\")
  file(CREATE_LINK \"../${VLM_BUNDLE_DEST}/Contents/MacOS/VLM-Performance\" \"\${link}\" SYMBOLIC)
  message(STATUS \"Installing: \${link}\")
")
install(FILES ${linux_out}/vlm-performance.1 DESTINATION share/man/man1)
install(FILES ${CMAKE_SOURCE_DIR}/resources/vlm-performance.bash-completion
  DESTINATION share/bash-completion/completions RENAME vlm-performance)
install(FILES ${linux_out}/vlm-performance@.service ${linux_out}/vlm-performance@.timer
  DESTINATION ${VLM_SYSTEMD_UNIT_DIR})
if(VLM_BUILD_GUI)
  install(FILES ${linux_out}/org.velmora.vlm_performance.metainfo.xml DESTINATION share/metainfo)
endif()
