# Installs the two systemd units with the daemon's path under the prefix
# being installed to, known only now: cmake --install --prefix, or /usr when
# cpack makes the package. Set before: KV_UNIT_SRC, KV_UNIT_BIN,
# KV_SYSTEM_UNIT_DIR, KV_USER_UNIT_DIR, KV_APPDIR, KV_DOCDIR (relative).
set(daemon "${CMAKE_INSTALL_PREFIX}/${KV_APPDIR}/kestrivaned")
set(doc "${CMAKE_INSTALL_PREFIX}/${KV_DOCDIR}")
foreach(unit kestrivaned kestrivaned-user)
  file(READ "${KV_UNIT_SRC}/${unit}.service.in" text)
  string(REPLACE "@KV_DAEMON@" "${daemon}" text "${text}")
  string(REPLACE "@KV_DOC_DIR@" "${doc}" text "${text}")
  # Both are kestrivaned.service, each in its manager's folder.
  file(WRITE "${KV_UNIT_BIN}/${unit}/kestrivaned.service" "${text}")
endforeach()
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${KV_SYSTEM_UNIT_DIR}" TYPE FILE
     FILES "${KV_UNIT_BIN}/kestrivaned/kestrivaned.service")
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${KV_USER_UNIT_DIR}" TYPE FILE
     FILES "${KV_UNIT_BIN}/kestrivaned-user/kestrivaned.service")
