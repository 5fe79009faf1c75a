# Installs the build tree BUILD into a scratch prefix under WORK, builds
# consumer.c against it with find_package and with pkg-config, runs both, and
# has the installed tool (when TOOL) read back the store one of them saved.
set(p ${WORK}/prefix)
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK})
run(${CMAKE_COMMAND} --install ${BUILD} --prefix ${p})
set(site ${p}/lib/python3/dist-packages)
if(NOT IS_SYMLINK ${p}/${LIBDIR}/libvelta.so.${SOVERSION}
    OR NOT (EXISTS ${site}/velta.py OR EXISTS ${site}/velta/__init__.py))
  message(FATAL_ERROR "no SONAME link or no Python module under ${p}")
endif()

run(${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR}/consumer -B ${WORK}/fp -G ${GENERATOR}
  -DCMAKE_C_COMPILER=${CC} -DCMAKE_PREFIX_PATH=${p})
run(${CMAKE_COMMAND} --build ${WORK}/fp)
run(${WORK}/fp/consumer ${WORK}/fp.vl)

set(ENV{PKG_CONFIG_PATH} ${p}/${LIBDIR}/pkgconfig)
run(pkg-config --cflags --libs velta)
separate_arguments(flags UNIX_COMMAND "${out}")
run(${CC} ${CMAKE_CURRENT_LIST_DIR}/consumer.c -o ${WORK}/pc ${flags} -Wl,-rpath,${p}/${LIBDIR})
run(${WORK}/pc ${WORK}/pc.vl)

if(TOOL)  # no LD_LIBRARY_PATH: only the tool's RPATH can find the library
  run(${p}/bin/velta cat ${WORK}/pc.vl notes -v 0)
  if(NOT out STREQUAL "hello, world")
    message(FATAL_ERROR "installed velta tool printed \"${out}\"")
  endif()
endif()
file(REMOVE_RECURSE ${WORK})
