# Writes the NuGet package (a zip in the Open Packaging layout):
#   cmake -DVERSION=X.Y.Z -DASSEMBLY_DIR=dir-with-Lumsdk.dll -DLINUX_LIBRARY=libLUMSDK.so.3...
#         -DWINDOWS_DLL=LUMSDK.x64_2012.dll -DOUTPUT=Lumsdk.X.Y.Z.nupkg -P pack.cmake
# or, from a configured build: cmake --build --preset linux --target lumsdk_nupkg
foreach(var VERSION ASSEMBLY_DIR LINUX_LIBRARY WINDOWS_DLL OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "pack.cmake: -D${var}=... is required")
  endif()
endforeach()
foreach(file ${ASSEMBLY_DIR}/Lumsdk.dll ${LINUX_LIBRARY} ${WINDOWS_DLL})
  if(NOT EXISTS ${file})
    message(FATAL_ERROR "pack.cmake: ${file} does not exist (the Windows DLL comes from "
                        "'cmake --build --preset windows')")
  endif()
endforeach()

get_filename_component(stage ${OUTPUT}.stage ABSOLUTE)
file(REMOVE_RECURSE ${stage})
file(MAKE_DIRECTORY ${stage}/lib/netstandard2.0 ${stage}/runtimes/win-x64/native
     ${stage}/runtimes/linux-x64/native ${stage}/_rels)
file(COPY ${ASSEMBLY_DIR}/Lumsdk.dll ${ASSEMBLY_DIR}/Lumsdk.dll.config DESTINATION ${stage}/lib/netstandard2.0)
if(EXISTS ${ASSEMBLY_DIR}/Lumsdk.xml)
  file(COPY ${ASSEMBLY_DIR}/Lumsdk.xml DESTINATION ${stage}/lib/netstandard2.0)
endif()
file(COPY ${WINDOWS_DLL} DESTINATION ${stage}/runtimes/win-x64/native)
# The Linux library under its soname (the file itself, not the link).
configure_file(${LINUX_LIBRARY} ${stage}/runtimes/linux-x64/native/libLUMSDK.so.3 COPYONLY)

file(WRITE ${stage}/Lumsdk.nuspec "<?xml version=\"1.0\" encoding=\"utf-8\"?>
<package xmlns=\"http://schemas.microsoft.com/packaging/2013/05/nuspec.xsd\">
  <metadata>
    <id>Lumsdk</id>
    <version>${VERSION}</version>
    <authors>LUMSDK</authors>
    <description>.NET binding of the LUMSDK lighting client library, with the native library for win-x64 and linux-x64.</description>
    <license type=\"file\">LICENSE</license>
    <dependencies>
      <group targetFramework=\".NETStandard2.0\" />
    </dependencies>
  </metadata>
</package>
")
get_filename_component(source_root ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
file(COPY ${source_root}/LICENSE DESTINATION ${stage})
file(WRITE ${stage}/[Content_Types].xml "<?xml version=\"1.0\" encoding=\"utf-8\"?>
<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">
  <Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\" />
  <Default Extension=\"nuspec\" ContentType=\"application/octet\" />
  <Default Extension=\"dll\" ContentType=\"application/octet\" />
  <Default Extension=\"config\" ContentType=\"application/octet\" />
  <Default Extension=\"xml\" ContentType=\"application/octet\" />
  <Default Extension=\"3\" ContentType=\"application/octet\" />
  <Override PartName=\"/LICENSE\" ContentType=\"application/octet\" />
</Types>
")
file(WRITE ${stage}/_rels/.rels "<?xml version=\"1.0\" encoding=\"utf-8\"?>
<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">
  <Relationship Type=\"http://schemas.microsoft.com/packaging/2010/07/manifest\" Target=\"/Lumsdk.nuspec\" Id=\"R1\" />
</Relationships>
")
file(REMOVE ${OUTPUT})
# Files only: a zip without directory entries, as NuGet writes them.
file(GLOB_RECURSE entries RELATIVE ${stage} LIST_DIRECTORIES false ${stage}/*)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${OUTPUT} --format=zip -- ${entries}
                WORKING_DIRECTORY ${stage} RESULT_VARIABLE result)
file(REMOVE_RECURSE ${stage})
if(NOT result EQUAL 0)
  message(FATAL_ERROR "pack.cmake: writing ${OUTPUT} failed")
endif()
message(STATUS "wrote ${OUTPUT}")
