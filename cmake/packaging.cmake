# Version resources, `cmake --install` and `cpack`: in a Linux build the two .debs, in a Windows build
# the portable ZIP and the NSIS installer. Included from the top-level CMakeLists.txt.
set(PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)

if(WIN32)
  # One folder, as Windows users expect: the programs beside their README and LICENSE.
  set(CMAKE_INSTALL_BINDIR . CACHE PATH "User executables (bin)")
  set(CMAKE_INSTALL_DOCDIR . CACHE PATH "Documentation (DATAROOTDIR/doc/chat-relay)")
endif()
include(GNUInstallDirs)

if(WIN32)
  # A VERSIONINFO resource in each program: Explorer's Properties show product, version, description;
  # and the icon, made from packaging/icons/chat-relay.svg by scripts/make-icon.sh and kept in the tree
  # (resource 1, the one Explorer, the taskbar and the shortcuts show).
  enable_language(RC)
  set(RC_ICON ${PACKAGING_DIR}/icons/chat-relay.ico)
  foreach(program IN ITEMS chat_server chat_client chat_window chat_relay_service)
    set(RC_NAME ${program})
    if(program STREQUAL "chat_server")
      set(RC_DESCRIPTION "LAN chat relay")
    elseif(program STREQUAL "chat_window")
      set(RC_DESCRIPTION "Chat")
    elseif(program STREQUAL "chat_relay_service")
      set(RC_DESCRIPTION "LAN chat relay service host")
    else()
      set(RC_DESCRIPTION "LAN chat relay client")
    endif()
    configure_file(${PACKAGING_DIR}/version.rc.in ${CMAKE_CURRENT_BINARY_DIR}/${program}.rc @ONLY)
    target_sources(${program} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${program}.rc)
  endforeach()
endif()

# Two components, packaged apart on Debian (chat-relay, chat-client), and the Linux window's where
# Qt 6 is found (chat-window, below): a desktop that only chats never runs a relay, which would
# split the room.
install(TARGETS chat_server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT relay)
install(TARGETS chat_client RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT client)
if(WIN32)
  install(TARGETS chat_window RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT client)
endif()

if(WIN32)
  # The service host beside the relay it runs.
  install(TARGETS chat_relay_service RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT relay)
  # The Windows guide (as README.txt) and LICENSE as text files that open with a double click: .txt,
  # CR LF line ends.
  foreach(doc IN ITEMS packaging/windows/README.txt LICENSE)
    file(READ ${PROJECT_SOURCE_DIR}/${doc} text)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    get_filename_component(base ${doc} NAME_WE)
    file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${base}.txt "${text}")
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${base}.txt DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT client)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${doc})
  endforeach()
  # A picture of the chat window beside the guide, which names it.
  install(FILES ${PROJECT_SOURCE_DIR}/docs/chat-window.png DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT client)
else()
  # The systemd unit, under the prefix (/usr/lib/systemd/system for the .deb; systemd also reads
  # /usr/local/lib/systemd/system). Its ExecStart names the relay where this install puts it, which
  # is known only when installing: cpack installs under /usr whatever the build's prefix.
  set(RELAY_SYSTEMD_UNIT_DIR lib/systemd/system CACHE PATH "Where the systemd unit goes, under the prefix")
  install(CODE "
    set(RELAY_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
    if(NOT IS_ABSOLUTE \"\${RELAY_BINDIR}\")
      set(RELAY_BINDIR \"\${CMAKE_INSTALL_PREFIX}/\${RELAY_BINDIR}\")
    endif()
    configure_file(\"${PACKAGING_DIR}/chat-relay.service.in\" \"${CMAKE_CURRENT_BINARY_DIR}/chat-relay.service\" @ONLY)
  " COMPONENT relay)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/chat-relay.service DESTINATION ${RELAY_SYSTEMD_UNIT_DIR} COMPONENT relay)

  # Man pages and the Debian changelog, compressed as Debian wants them (-n: no name or time stamp).
  find_program(GZIP gzip REQUIRED)
  set(compressed)
  foreach(file IN ITEMS chat_server.8 chat_client.1 changelog)
    add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${file}.gz
                       COMMAND ${GZIP} -9n -c ${PACKAGING_DIR}/${file} > ${CMAKE_CURRENT_BINARY_DIR}/${file}.gz
                       DEPENDS ${PACKAGING_DIR}/${file} VERBATIM)
    list(APPEND compressed ${CMAKE_CURRENT_BINARY_DIR}/${file}.gz)
  endforeach()
  add_custom_target(compressed_docs ALL DEPENDS ${compressed})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/chat_server.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT relay)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/chat_client.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT client)

  # The Linux window, a package of its own (chat-window), so that a host that chats in a terminal
  # needs no Qt: the program, its man page, the desktop entry, the AppStream metainfo and the icon.
  if(CHAT_WINDOW_LINUX)
    set(window_id org.chatrelay.ChatWindow)
    install(TARGETS chat_window RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT window)
    add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/chat_window.1.gz
                       COMMAND ${GZIP} -9n -c ${PACKAGING_DIR}/chat_window.1 > ${CMAKE_CURRENT_BINARY_DIR}/chat_window.1.gz
                       DEPENDS ${PACKAGING_DIR}/chat_window.1 VERBATIM)
    add_custom_target(compressed_window_docs ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/chat_window.1.gz)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/chat_window.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT window)
    install(FILES ${PACKAGING_DIR}/linux/${window_id}.desktop DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications
            COMPONENT window)
    configure_file(${PACKAGING_DIR}/linux/${window_id}.metainfo.xml ${CMAKE_CURRENT_BINARY_DIR}/${window_id}.metainfo.xml
                   @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${window_id}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/metainfo
            COMPONENT window)
    install(FILES ${PACKAGING_DIR}/icons/chat-relay.svg
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps COMPONENT window)
  endif()

  # The copyright file in Debian's machine-readable format, around the licence's own text.
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" license_holder "${license}")
  set(license_holder "${CMAKE_MATCH_1}")
  string(REGEX REPLACE "^MIT License\n\nCopyright[^\n]*\n\n" "" license_text "${license}")
  string(STRIP "${license_text}" license_text)
  string(REGEX REPLACE "\n\n" "\n.\n" license_text "${license_text}")
  string(REGEX REPLACE "\n" "\n " license_text "${license_text}")
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: chat_relay

Files: *
Copyright: ${license_holder}
License: Expat
 ${license_text}
")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)

  # Debian keeps each package's README, copyright and changelog in /usr/share/doc/PACKAGE.
  set(components relay client)
  if(CHAT_WINDOW_LINUX)
    list(APPEND components window)
  endif()
  foreach(component IN LISTS components)
    set(docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/chat-${component})
    install(FILES ${PACKAGING_DIR}/deb/README.${component} DESTINATION ${docdir} RENAME README COMPONENT ${component})
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
            DESTINATION ${docdir} COMPONENT ${component})
  endforeach()
endif()

# ---- cpack ----
set(CPACK_VERBATIM_VARIABLES ON)  # values such as $PROGRAMFILES64 reach the installer's script as written
set(CPACK_PACKAGE_NAME chat-relay)
set(CPACK_PACKAGE_VENDOR "The chat_relay authors")
set(CPACK_PACKAGE_CONTACT "chat_relay maintainers <maintainers@users.noreply.c-seed-2b2ac3bc.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Zero-configuration chat relay for a local network")
set(CPACK_PACKAGE_DESCRIPTION "A relay for chat on a LAN: clients connect on TCP port 8888, and every chunk
one sends is passed on unchanged to all the others. The relay announces itself
by UDP broadcast on port 8889, so that clients find it without configuration.
The companion client is included.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "Chat Relay")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP NSIS64)
  # One ZIP and one installer with every program; the installer's own components page chooses.
  set(CPACK_MONOLITHIC_INSTALL ON)
  set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
  set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY "Chat Relay")  # one entry in Apps & features, across versions
  set(CPACK_NSIS_DISPLAY_NAME "Chat Relay")
  set(CPACK_NSIS_PACKAGE_NAME "Chat Relay ${PROJECT_VERSION}")
  # The installer and the uninstaller wear the programs' icon.
  set(CPACK_NSIS_MUI_ICON ${PACKAGING_DIR}/icons/chat-relay.ico)
  set(CPACK_NSIS_MUI_UNIICON ${PACKAGING_DIR}/icons/chat-relay.ico)
  # The installer's script is packaging/windows/NSIS.template.in rather than cpack's own: its pages
  # (Modern UI 2, whose welcome page shows text of several paragraphs), its components, the service,
  # the firewall rules, and upgrading or removing with the relay running.
  list(PREPEND CMAKE_MODULE_PATH ${PACKAGING_DIR}/windows)
else()
  set(CPACK_GENERATOR DEB)
  # Two packages from one source, as servers and their clients usually come: chat-relay (the relay,
  # its unit and man page) and chat-client.
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_RELAY_PACKAGE_NAME chat-relay)
  set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME chat-client)
  set(CPACK_DEBIAN_CLIENT_PACKAGE_SOURCE chat-relay)
  set(CPACK_DEBIAN_RELAY_PACKAGE_SUGGESTS chat-client)
  set(CPACK_DEBIAN_CLIENT_PACKAGE_SUGGESTS chat-relay)
  # chat-relay 1.4.0 held the client too: the client's package takes its files over. Version 1.4.0
  # of the split packages cannot say so, since it cannot be told from that one.
  if(PROJECT_VERSION VERSION_GREATER 1.4.0)
    set(CPACK_DEBIAN_CLIENT_PACKAGE_REPLACES "chat-relay (<= 1.4.0)")
    set(CPACK_DEBIAN_CLIENT_PACKAGE_BREAKS "chat-relay (<= 1.4.0)")
  endif()
  # Each package's own description, its first line the summary (CPack puts the common summary
  # before a component's description unless that summary is CPack's default).
  unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)
  set(CPACK_DEBIAN_RELAY_DESCRIPTION "Zero-configuration chat relay for a local network
A relay for chat on a LAN: clients connect on TCP port 8888, and every chunk
one sends is passed on unchanged to all the others. The relay announces itself
by UDP broadcast on port 8889, so that clients find it without configuration.
It runs as the systemd service chat-relay, started when the package is
installed. The client is in the package chat-client.")
  set(CPACK_DEBIAN_CLIENT_DESCRIPTION "Client for the zero-configuration LAN chat relay
The companion client of chat-relay: it finds the relay on the local network by
its UDP broadcast, or connects to the address it is given, and passes typed
lines to the room and the room's lines to the terminal, converting between the
terminal's encoding and GB18030. The relay is in the package chat-relay.")
  set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME chat-window)
  set(CPACK_DEBIAN_WINDOW_PACKAGE_SOURCE chat-relay)
  set(CPACK_DEBIAN_WINDOW_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_WINDOW_PACKAGE_SUGGESTS chat-relay)
  set(CPACK_DEBIAN_WINDOW_DESCRIPTION "Window to chat in through the zero-configuration LAN chat relay
The chat of chat-relay in a window of its own on a Linux desktop, in one room
with the terminal client of chat-client: it finds the relay on the local
network by its UDP broadcast, or connects to the address it is given, shows the
room's lines with coloured names as plain text, and tells of a line that
mentions the user's name while the window is behind others. The relay is in
the package chat-relay.")
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # Depends from the libraries the programs link (dpkg-shlibdeps)
  # The relay's service is enabled and started on install, stopped on removal.
  set(CPACK_DEBIAN_RELAY_PACKAGE_CONTROL_EXTRA ${PACKAGING_DIR}/deb/postinst ${PACKAGING_DIR}/deb/prerm
                                               ${PACKAGING_DIR}/deb/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
include(CPack)
