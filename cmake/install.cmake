# What `cmake --install` puts under the prefix, and the files that let a
# consumer find it: libvelta.so with its SONAME links, velta.h, a CMake
# package (find_package(velta 0.1), target velta::velta), velta.pc, the
# Python module. The `velta` tool installs itself from tools/.
include(CMakePackageConfigHelpers)

set(VELTA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/velta)
set(VELTA_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
set(VELTA_PYTHON_DIR lib/python3/dist-packages CACHE PATH
  "Where the Python module goes, relative to the prefix")

# A sanitized libvelta.so needs the sanitizer runtimes first in the program
# that loads it, so a sanitized build tells its consumers to link them.
if(VELTA_SANITIZE)
  set(VELTA_CONSUMER_LINK_FLAGS -fsanitize=address,undefined)
  target_link_options(velta INTERFACE $<INSTALL_INTERFACE:${VELTA_CONSUMER_LINK_FLAGS}>)
endif()

install(TARGETS velta EXPORT veltaTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT veltaTargets NAMESPACE velta:: DESTINATION ${VELTA_CMAKE_DIR})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/veltaConfig.cmake.in
  ${PROJECT_BINARY_DIR}/veltaConfig.cmake INSTALL_DESTINATION ${VELTA_CMAKE_DIR})
# 0.x releases may change the interface between minor versions.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/veltaConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/veltaConfig.cmake ${PROJECT_BINARY_DIR}/veltaConfigVersion.cmake
  DESTINATION ${VELTA_CMAKE_DIR})

# velta.pc names its prefix relative to its own folder, so the installed tree
# can be moved or installed with `cmake --install --prefix`.
if(IS_ABSOLUTE ${CMAKE_INSTALL_LIBDIR})
  set(VELTA_PC_PREFIX ${CMAKE_INSTALL_PREFIX})
  set(VELTA_PC_LIBDIR ${CMAKE_INSTALL_LIBDIR})
else()
  file(RELATIVE_PATH pc_to_prefix /p/${VELTA_PKGCONFIG_DIR} /p)
  string(REGEX REPLACE "/$" "" pc_to_prefix ${pc_to_prefix})
  set(VELTA_PC_PREFIX "\${pcfiledir}/${pc_to_prefix}")
  set(VELTA_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE ${CMAKE_INSTALL_INCLUDEDIR})
  set(VELTA_PC_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
else()
  set(VELTA_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
string(JOIN " " VELTA_PC_LIBS "-L\${libdir} -lvelta" ${VELTA_CONSUMER_LINK_FLAGS})
configure_file(${CMAKE_CURRENT_LIST_DIR}/velta.pc.in ${PROJECT_BINARY_DIR}/velta.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/velta.pc DESTINATION ${VELTA_PKGCONFIG_DIR})

# The ctypes binding: a single module or a package folder, whichever the
# tree holds.
if(EXISTS ${PROJECT_SOURCE_DIR}/python/velta.py)
  install(FILES ${PROJECT_SOURCE_DIR}/python/velta.py DESTINATION ${VELTA_PYTHON_DIR})
endif()
if(IS_DIRECTORY ${PROJECT_SOURCE_DIR}/python/velta)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/velta DESTINATION ${VELTA_PYTHON_DIR}
    PATTERN __pycache__ EXCLUDE)
  # _location.py tells the installed package where the library went.
  install(CODE "file(WRITE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${VELTA_PYTHON_DIR}/velta/_location.py\"
    \"LIBRARY = '\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/libvelta.so'\\n\")")
endif()
