# Installation: the launcher in its own installation folder with its default
# interface art (it reads "system.kvml" next to itself and keeps the game's
# server folders in its working directory, so that folder must be writable
# by the player), the
# tools in bin/, a desktop entry that starts the launcher there, and an icon.
include(GNUInstallDirs)
set(KV_INSTALL_SUBDIR "${CMAKE_INSTALL_LIBDIR}/kvlauncher" CACHE STRING
    "Installation folder of the launcher, relative to the prefix")

install(TARGETS kvlauncher RUNTIME DESTINATION ${KV_INSTALL_SUBDIR})
# The default interface art lives next to the launcher. A cross build cannot
# run kvart, so it takes the art a native build made (KV_DEFAULT_ART_SOURCE,
# that build's bin/default_art) and copies it next to the launcher.
set(KV_DEFAULT_ART_SOURCE "" CACHE PATH
    "Cross builds: a folder of default interface art made by a native build's kvart")
if(NOT TARGET kv_default_art AND KV_DEFAULT_ART_SOURCE)
  set(kv_copied_art ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/default_art)
  add_custom_target(kv_default_art ALL
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${kv_copied_art}
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${KV_DEFAULT_ART_SOURCE} ${kv_copied_art}
    COMMENT "Copying the default interface art"
    VERBATIM)
  set_property(GLOBAL PROPERTY KV_DEFAULT_ART_DIR ${kv_copied_art})
endif()
if(TARGET kv_default_art)
  get_property(kv_default_art_dir GLOBAL PROPERTY KV_DEFAULT_ART_DIR)
  install(DIRECTORY ${kv_default_art_dir} DESTINATION ${KV_INSTALL_SUBDIR})
endif()
# The release keys the launcher trusts: a file of minisign public keys (one
# key line a line) installed next to the launcher as "release_keys". Without
# one the launcher installs what the site serves unchecked.
set(KV_RELEASE_KEYS "" CACHE FILEPATH
    "A file of trusted release keys to install next to the launcher (default: none)")
if(KV_RELEASE_KEYS)
  if(NOT EXISTS "${KV_RELEASE_KEYS}")
    message(FATAL_ERROR "KV_RELEASE_KEYS names ${KV_RELEASE_KEYS}, which does not exist")
  endif()
  add_custom_target(kv_release_keys ALL
    COMMAND ${CMAKE_COMMAND} -E copy ${KV_RELEASE_KEYS} ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/release_keys
    COMMENT "Copying the release keys"
    VERBATIM)
  install(FILES ${KV_RELEASE_KEYS} DESTINATION ${KV_INSTALL_SUBDIR} RENAME release_keys)
endif()
foreach(tool kvpublish kvupdate)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
# The desktop entry names the installation folder, so it is written when
# installing: the prefix given to `cmake --install --prefix` is known only then.
install(CODE "
  set(KV_INSTALL_FOLDER \"\${CMAKE_INSTALL_PREFIX}/${KV_INSTALL_SUBDIR}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/data/kvlauncher.desktop.in\"
                 \"${CMAKE_BINARY_DIR}/kvlauncher.desktop\" @ONLY)
")
install(FILES ${CMAKE_BINARY_DIR}/kvlauncher.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/data/kvlauncher.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
