# What an SDK user downloads: the header, the library (stripped, with its
# debug information in a file beside it), the import libraries, lumhost, the
# examples and the docs, made by `cmake --build --preset <preset> --target
# package`: LUMSDK-<version>-win64.zip on Windows; on Linux a .tar.gz with a
# pkg-config file, and a .deb.
set(LUMSDK_RELEASE ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH})

# Windows users get a flat tree (bin, include, lib, docs, examples); Linux
# users the usual one, with the docs under share/doc.
if(WIN32)
  set(LUMSDK_DOC_DIR .)
  set(LUMSDK_DOCS_DIR docs)
  set(LUMSDK_EXAMPLES_DIR examples)
  set(LUMSDK_PC_LIBRARY LUMSDK.x64_2012)
else()
  set(LUMSDK_DOC_DIR ${CMAKE_INSTALL_DOCDIR})
  set(LUMSDK_DOCS_DIR ${CMAKE_INSTALL_DOCDIR}/docs)
  set(LUMSDK_EXAMPLES_DIR ${CMAKE_INSTALL_DOCDIR}/examples)
  set(LUMSDK_PC_LIBRARY LUMSDK)
endif()

# MSVC links a DLL through an import library of its own format, made from the
# .def file.
if(WIN32)
  find_program(LUMSDK_DLLTOOL NAMES llvm-dlltool x86_64-w64-mingw32-dlltool REQUIRED)
  set(LUMSDK_MSVC_IMPLIB ${CMAKE_ARCHIVE_OUTPUT_DIRECTORY}/LUMSDK.x64_2012.lib)
  add_custom_command(
    OUTPUT ${LUMSDK_MSVC_IMPLIB}
    COMMAND ${LUMSDK_DLLTOOL} -m i386:x86-64 -d ${PROJECT_SOURCE_DIR}/src/api/LUMSDK.def
            -l ${LUMSDK_MSVC_IMPLIB}
    DEPENDS ${PROJECT_SOURCE_DIR}/src/api/LUMSDK.def
    COMMENT "MSVC import library LUMSDK.x64_2012.lib")
  add_custom_target(lumsdk_msvc_implib ALL DEPENDS ${LUMSDK_MSVC_IMPLIB})
  install(FILES ${LUMSDK_MSVC_IMPLIB} DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

# pkg-config, relocatable: the prefix is found from the .pc file's own place,
# so an unpacked archive works wherever it lies.
file(RELATIVE_PATH LUMSDK_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/lumsdk.pc.in ${PROJECT_BINARY_DIR}/lumsdk.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/lumsdk.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES LICENSE CHANGELOG.md DESTINATION ${LUMSDK_DOC_DIR})
install(FILES docs/sdk-readme.md DESTINATION ${LUMSDK_DOC_DIR} RENAME README.md)
install(DIRECTORY docs/ DESTINATION ${LUMSDK_DOCS_DIR} FILES_MATCHING PATTERN "*.md"
        PATTERN "*.svg" PATTERN "sdk-readme.md" EXCLUDE)
install(DIRECTORY examples/ DESTINATION ${LUMSDK_EXAMPLES_DIR})

# Installed binaries carry no debug information. The library's goes to
# <file>.debug beside it, which the stripped file names (.gnu_debuglink), so
# debuggers that are given one find the other.
if(CMAKE_OBJCOPY)
  set(LUMSDK_INSTALLED_LIBRARY
      "\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/$<IF:$<BOOL:${WIN32}>,${CMAKE_INSTALL_BINDIR},${CMAKE_INSTALL_LIBDIR}>/$<TARGET_FILE_NAME:LUMSDK>")
  install(CODE "
    set(library \"${LUMSDK_INSTALLED_LIBRARY}\")
    get_filename_component(directory \"\${library}\" DIRECTORY)
    get_filename_component(name \"\${library}\" NAME)
    execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --only-keep-debug \"\${name}\" \"\${name}.debug\"
                    WORKING_DIRECTORY \"\${directory}\" COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --strip-all --add-gnu-debuglink=\${name}.debug
                            \"\${name}\" WORKING_DIRECTORY \"\${directory}\" COMMAND_ERROR_IS_FATAL ANY)
  ")
  if(TARGET lumhost)
    install(CODE "
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --strip-all
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:lumhost>\"
        COMMAND_ERROR_IS_FATAL ANY)
    ")
  endif()
endif()

set(CPACK_PACKAGE_NAME LUMSDK)
set(CPACK_PACKAGE_VENDOR "The LUMSDK developers")
set(CPACK_PACKAGE_VERSION ${LUMSDK_RELEASE})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Lighting client library: a flat C interface to the lighting host, with the stand-in host lumhost")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_CHECKSUM SHA256)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME LUMSDK-${LUMSDK_RELEASE}-win64)
else()
  set(CPACK_GENERATOR TGZ DEB)
  set(CPACK_PACKAGE_FILE_NAME LUMSDK-${LUMSDK_RELEASE}-linux-x86_64)
  set(CPACK_DEBIAN_PACKAGE_NAME lumsdk)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The LUMSDK developers <lumsdk@localhost>")
  set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.36), libstdc++6 (>= 12), libgcc-s1")
endif()
include(CPack)
