# Version resources, `cmake --install` and `cpack`: in a Linux build the .deb, in a Windows build
# the portable ZIP and the NSIS installer. Included from the top-level CMakeLists.txt.
set(PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)

if(WIN32)
  # One folder, as Windows users expect: the programs beside their README and LICENSE.
  set(CMAKE_INSTALL_BINDIR . CACHE PATH "User executables (bin)")
  set(CMAKE_INSTALL_DOCDIR . CACHE PATH "Documentation (DATAROOTDIR/doc/chat-relay)")
else()
  # Named after the package: Debian keeps copyright and changelog in /usr/share/doc/PACKAGE.
  set(CMAKE_INSTALL_DOCDIR share/doc/chat-relay CACHE PATH "Documentation (DATAROOTDIR/doc/chat-relay)")
endif()
include(GNUInstallDirs)

if(WIN32)
  # A VERSIONINFO resource in each program: Explorer's Properties show product, version, description.
  enable_language(RC)
  foreach(program IN ITEMS chat_server chat_client chat_relay_service)
    set(RC_NAME ${program})
    if(program STREQUAL "chat_server")
      set(RC_DESCRIPTION "LAN chat relay")
    elseif(program STREQUAL "chat_relay_service")
      set(RC_DESCRIPTION "LAN chat relay service host")
    else()
      set(RC_DESCRIPTION "LAN chat relay client")
    endif()
    configure_file(${PACKAGING_DIR}/version.rc.in ${CMAKE_CURRENT_BINARY_DIR}/${program}.rc @ONLY)
    target_sources(${program} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${program}.rc)
  endforeach()
endif()

install(TARGETS chat_server chat_client RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(WIN32)
  # The service host beside the relay it runs.
  install(TARGETS chat_relay_service RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The Windows guide (as README.txt) and LICENSE as text files that open with a double click: .txt,
  # CR LF line ends.
  foreach(doc IN ITEMS packaging/windows/README.txt LICENSE)
    file(READ ${PROJECT_SOURCE_DIR}/${doc} text)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    get_filename_component(base ${doc} NAME_WE)
    file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${base}.txt "${text}")
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${base}.txt DESTINATION ${CMAKE_INSTALL_DOCDIR})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${doc})
  endforeach()
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
  ")
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/chat-relay.service DESTINATION ${RELAY_SYSTEMD_UNIT_DIR})

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
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/chat_server.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/chat_client.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
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
  # The installer's script is packaging/windows/NSIS.template.in rather than cpack's own: its pages
  # (Modern UI 2, whose welcome page shows text of several paragraphs), its components, the service,
  # the firewall rules, and upgrading or removing with the relay running.
  list(PREPEND CMAKE_MODULE_PATH ${PACKAGING_DIR}/windows)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # Depends from the libraries the programs link (dpkg-shlibdeps)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PACKAGING_DIR}/deb/postinst ${PACKAGING_DIR}/deb/prerm
                                         ${PACKAGING_DIR}/deb/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
include(CPack)
