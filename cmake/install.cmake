# The library as shipped: its exports, what `cmake --install` puts under the
# prefix, and the tests of both.
include(CMakePackageConfigHelpers)

# Only the public API leaves libcommdir.so.1. The platform's symbols stay
# undefined on purpose: the process that loads the library provides them, so
# neither --no-undefined nor a link to commdir_posix belongs here.
set(COMMDIR_VERSION_SCRIPT ${CMAKE_CURRENT_SOURCE_DIR}/cmake/commdir.map)
target_link_options(commdir PRIVATE "LINKER:--version-script=${COMMDIR_VERSION_SCRIPT}")
set_property(TARGET commdir APPEND PROPERTY LINK_DEPENDS ${COMMDIR_VERSION_SCRIPT})

# The transport headers come under include/commdir with their own folders,
# and the classes include them by those folder names.
target_include_directories(commdir PUBLIC $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/commdir>)
set(COMMDIR_TRANSPORT_HEADERS
  ipc/comm_dir_ipc_envelope.h ipc/comm_dir_ipc_multi_client.h ipc/comm_dir_ipc_multi_server.h
  client/comm_dir_messages.h server/comm_dir_operation_server.h
  facade/comm_dir_data_collector.h
  platform/emw_osw.h platform/emw_gen_ipc.h platform/emw_gen_trc.h)

install(TARGETS commdir commdir_posix EXPORT commdirTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY include/commdir DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
foreach(header ${COMMDIR_TRANSPORT_HEADERS})
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/commdir/${folder})
endforeach()

# pkg-config: relocatable (the prefix is found from the .pc file's own
# place), so that `cmake --install --prefix DIR` works. A build for the
# device names its own platform libraries here (or none).
set(COMMDIR_PC_PLATFORM_LIBS "-lcommdir_posix -pthread" CACHE STRING
  "Platform libraries that pkg-config's commdir adds to -lcommdir")
file(RELATIVE_PATH COMMDIR_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" COMMDIR_PC_TO_PREFIX "${COMMDIR_PC_TO_PREFIX}")
configure_file(cmake/commdir.pc.in ${CMAKE_CURRENT_BINARY_DIR}/commdir.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/commdir.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(COMMDIR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/commdir)
install(EXPORT commdirTargets NAMESPACE commdir:: DESTINATION ${COMMDIR_CMAKE_DIR})
configure_package_config_file(cmake/commdirConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/commdirConfig.cmake INSTALL_DESTINATION ${COMMDIR_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/commdirConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/commdirConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/commdirConfigVersion.cmake DESTINATION ${COMMDIR_CMAKE_DIR})

if(COMMDIR_BUILD_TESTS)
  # Tests of the shipped library, registered in the top directory.
  add_test(NAME shipped_library_exports
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/tests/shipped/check_exports.sh
      $<TARGET_FILE:commdir> ${CMAKE_CURRENT_SOURCE_DIR}/tests/shipped/exports.txt
      ${CMAKE_NM} ${CMAKE_READELF})
  set_tests_properties(shipped_library_exports PROPERTIES LABELS shipped TIMEOUT 60)
  # A sanitized library cannot be loaded by an application built without the
  # sanitizer runtime, and a cross build's cannot run here. The application
  # runs against the daemon and a throwaway slapd.
  find_program(COMMDIR_SLAPD slapd PATHS /usr/sbin)
  if(NOT COMMDIR_SANITIZE AND NOT CMAKE_CROSSCOMPILING AND TARGET comm-dir-service AND COMMDIR_SLAPD)
    add_test(NAME shipped_library_out_of_tree_app
      COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/tests/shipped/out_of_tree_app.sh
        ${CMAKE_BINARY_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/tests/shipped/app $<TARGET_FILE:comm-dir-service>
        ${CMAKE_CURRENT_SOURCE_DIR}/tests/support/slapd/slapd-fixture
        ${CMAKE_CURRENT_SOURCE_DIR}/tests/data/address-book.ldif)
    set_tests_properties(shipped_library_out_of_tree_app PROPERTIES LABELS shipped TIMEOUT 300)
  endif()
endif()
