# Install rules: `cmake --install BUILD --prefix PREFIX` (or `make install PREFIX=...`) lays out
#   lib/libka_core.so.0 (+ links)  with RUNPATH $ORIGIN, beside lib/libonnxruntime.so.1
#   include/ka/*.h                 the public C headers
#   bin/ka                         the command-line tool, RUNPATH $ORIGIN/../lib
#   lib/pkgconfig/ka_core.pc       for pkg-config hosts
#   lib/cmake/ka_core/             for find_package(ka_core) -> ka_core::ka_core
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set_target_properties(ka_core PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS ka_core EXPORT ka_coreTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY "${CMAKE_SOURCE_DIR}/include/ka" DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")

# The ONNX Runtime library the engine was built against, under its soname.
file(REAL_PATH "${KA_ORT_DIR}/lib/libonnxruntime.so.1" KA_ORT_REAL)
install(FILES "${KA_ORT_REAL}" DESTINATION ${CMAKE_INSTALL_LIBDIR} RENAME libonnxruntime.so.1)

if(TARGET ka)
  set_target_properties(ka PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS ka RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

configure_file("${CMAKE_SOURCE_DIR}/cmake/ka_core.pc.in" "${CMAKE_BINARY_DIR}/ka_core.pc" @ONLY)
install(FILES "${CMAKE_BINARY_DIR}/ka_core.pc" DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(KA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ka_core)
install(EXPORT ka_coreTargets NAMESPACE ka_core:: DESTINATION ${KA_CMAKE_DIR})
configure_package_config_file("${CMAKE_SOURCE_DIR}/cmake/ka_coreConfig.cmake.in"
  "${CMAKE_BINARY_DIR}/ka_coreConfig.cmake" INSTALL_DESTINATION ${KA_CMAKE_DIR})
write_basic_package_version_file("${CMAKE_BINARY_DIR}/ka_coreConfigVersion.cmake"
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES "${CMAKE_BINARY_DIR}/ka_coreConfig.cmake" "${CMAKE_BINARY_DIR}/ka_coreConfigVersion.cmake"
  DESTINATION ${KA_CMAKE_DIR})
