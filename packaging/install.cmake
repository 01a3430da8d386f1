# Runs at install time (see CMakeLists.txt): writes the templates for the prefix
# of this installation into the build tree, then installs them. DESTDIR is
# prepended by file(INSTALL) itself.

string(REGEX REPLACE "/+$" "" lld_prefix "${CMAKE_INSTALL_PREFIX}")

# An installed directory: below the prefix, except that /etc and /var stand
# beside /usr rather than below it, as GNUInstallDirs has it.
function(lld_full_dir out relative)
  if(IS_ABSOLUTE "${relative}")
    set(${out} "${relative}" PARENT_SCOPE)
  elseif(lld_prefix MATCHES "^(/usr)?$" AND relative MATCHES "^(etc|var)(/|$)")
    set(${out} "/${relative}" PARENT_SCOPE)
  else()
    set(${out} "${lld_prefix}/${relative}" PARENT_SCOPE)
  endif()
endfunction()

lld_full_dir(LLD_SBINDIR "${LLD_SBINDIR_REL}")
lld_full_dir(LLD_SYSCONFDIR "${LLD_SYSCONFDIR_REL}")
lld_full_dir(LLD_RUNSTATEDIR "${LLD_RUNSTATEDIR_REL}")
lld_full_dir(LLD_MANDIR "${LLD_MANDIR_REL}")
lld_full_dir(LLD_DOCDIR "${LLD_DOCDIR_REL}")
lld_full_dir(LLD_UNITDIR "${LLD_UNITDIR_REL}")
set(LLD_CONFIG "${LLD_SYSCONFDIR}/lld/config.json")

string(SHA1 lld_key "${lld_prefix}")
set(lld_stage "${LLD_PACKAGING_STAGE}/${lld_key}")
set(lld_read_only OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
set(lld_executable ${lld_read_only} OWNER_EXECUTE GROUP_EXECUTE WORLD_EXECUTE)

# lld_install(<template> <name> <directory> <permissions>... [KEEP]): KEEP leaves
# a file that is already installed as it is, since it holds local settings.
function(lld_install template name directory)
  set(permissions ${ARGN})
  list(FIND permissions KEEP keep)
  list(REMOVE_ITEM permissions KEEP)
  if(keep GREATER -1 AND EXISTS "$ENV{DESTDIR}${directory}/${name}")
    message(STATUS "Kept: $ENV{DESTDIR}${directory}/${name}")
    return()
  endif()
  file(READ "${LLD_PACKAGING_SOURCE}/${template}" text)
  string(CONFIGURE "${text}" text @ONLY)
  set(staged "${lld_stage}/${template}/${name}")
  file(WRITE "${staged}" "${text}")
  file(INSTALL "${staged}" DESTINATION "${directory}" PERMISSIONS ${permissions})
  # For install_manifest.txt, which the caller's scope writes.
  set(CMAKE_INSTALL_MANIFEST_FILES "${CMAKE_INSTALL_MANIFEST_FILES}" PARENT_SCOPE)
endfunction()

foreach(daemon client proxy)
  set(LLD_NAME lld-${daemon})
  string(TOUPPER "${daemon}" LLD_VAR)
  if(daemon STREQUAL "client")
    set(LLD_ORDER "Should-Start:      lld-proxy")
    set(LLD_DESCRIPTION "low-latency (LLD) client of the cable gateway")
  else()
    set(LLD_ORDER "X-Start-Before:    lld-client")
    set(LLD_DESCRIPTION "MQTT bridge between lld-client and the cloud broker")
  endif()
  lld_install(${LLD_NAME}.service.in ${LLD_NAME}.service "${LLD_UNITDIR}" ${lld_read_only})
  lld_install(${LLD_NAME}.default.in ${LLD_NAME} "${LLD_SYSCONFDIR}/default" ${lld_read_only} KEEP)
  lld_install(lld.init.in ${LLD_NAME} "${LLD_SYSCONFDIR}/init.d" ${lld_executable})
  lld_install(${LLD_NAME}.8.in ${LLD_NAME}.8 "${LLD_MANDIR}/man8" ${lld_read_only})
endforeach()
lld_install(config.example.txt.in config.example.txt "${LLD_DOCDIR}" ${lld_read_only})
