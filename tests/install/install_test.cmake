# Installs the build tree BUILD into a fresh prefix under WORK, checks the
# installed files, then builds consumer.c against that prefix twice (with
# find_package, with pkg-config) and runs both; the installed `velta` tool,
# when built (TOOL=ON), reads the store a consumer saved.
# cmake -DBUILD=... -DWORK=... -DCC=... -DGENERATOR=... -DLIBDIR=... -DSOVERSION=... -DTOOL=ON|OFF -P install_test.cmake
set(prefix ${WORK}/prefix)
set(libdir ${prefix}/${LIBDIR})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK})
run(${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix})

foreach(f include/velta.h ${LIBDIR}/cmake/velta/veltaConfig.cmake
    ${LIBDIR}/cmake/velta/veltaConfigVersion.cmake ${LIBDIR}/pkgconfig/velta.pc)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
# libvelta.so -> libvelta.so.N -> the real file.
foreach(link libvelta.so libvelta.so.${SOVERSION})
  if(NOT IS_SYMLINK ${libdir}/${link})
    message(FATAL_ERROR "not a SONAME link: ${LIBDIR}/${link}")
  endif()
endforeach()
file(GLOB python_module ${prefix}/lib/python3/dist-packages/velta.py
  ${prefix}/lib/python3/dist-packages/velta/__init__.py)
if(NOT python_module)
  message(FATAL_ERROR "the Python module is not installed")
endif()

# find_package: the imported target carries the include folder and the link.
run(${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR}/consumer -B ${WORK}/fp -G ${GENERATOR}
  -DCMAKE_C_COMPILER=${CC} -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${WORK}/fp)
run(${WORK}/fp/consumer ${WORK}/fp.vl)

# pkg-config: the prefix is not on the loader's path, so the program records it.
set(ENV{PKG_CONFIG_PATH} ${libdir}/pkgconfig)
run(pkg-config --atleast-version=0.1 velta)
run(pkg-config --cflags --libs velta)
separate_arguments(flags UNIX_COMMAND "${last_output}")
run(${CC} ${CMAKE_CURRENT_LIST_DIR}/consumer.c -o ${WORK}/pc_consumer ${flags}
  -Wl,-rpath,${libdir})
run(${WORK}/pc_consumer ${WORK}/pc.vl)

if(TOOL)
  run(${prefix}/bin/velta cat ${WORK}/pc.vl notes -v 0)
  if(NOT last_output STREQUAL "hello, world")
    message(FATAL_ERROR "installed velta tool printed \"${last_output}\"")
  endif()
endif()
file(REMOVE_RECURSE ${WORK})
