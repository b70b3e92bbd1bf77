# Makes the Unity package: the hand-written layout of client/bindings/unity, the C# binding, the
# three native libraries and the version, in OUTPUT/package (for "Add package from disk") and
# OUTPUT/com.velantis.client-VERSION.tgz (for "Add package from tarball", whose archive Unity
# wants below a folder named package).
#   cmake -DSOURCE=... -DBINDING=... -DOUTPUT=... -DVERSION=... -DLINUX_X86_64=...
#         -DLINUX_ARM64=... -DWINDOWS_X86_64=... -P UnityPackage.cmake
set(package ${OUTPUT}/package)
set(plugins ${package}/Runtime/Plugins)
set(slots LINUX_X86_64 LINUX_ARM64 WINDOWS_X86_64)
set(targets Linux/x86_64/libvelantis-client.so Linux/arm64/libvelantis-client.so
            Windows/x86_64/velantis-client.dll)
foreach(slot target IN ZIP_LISTS slots targets)
  if(NOT EXISTS "${${slot}}")
    message(FATAL_ERROR "No library for ${target} (\"${${slot}}\"): build it, or point "
                        "VELANTIS_UNITY_${slot} at it")
  endif()
endforeach()

file(REMOVE_RECURSE ${package})
file(COPY ${SOURCE}/ DESTINATION ${package})
file(COPY_FILE ${BINDING} ${package}/Runtime/Velantis.Client.cs)
# COPY_FILE writes the content a link points to: the library's file, not its SONAME link.
foreach(slot target IN ZIP_LISTS slots targets)
  file(COPY_FILE ${${slot}} ${plugins}/${target})
endforeach()
# The version is the library's, written in below the name as a person would.
file(READ ${SOURCE}/package.json manifest)
string(REGEX REPLACE "(\n *\"name\": \"[^\"]*\",\n)" "\\1  \"version\": \"${VERSION}\",\n"
       manifest "${manifest}")
string(JSON written ERROR_VARIABLE noVersion GET "${manifest}" version)
if(NOT written STREQUAL VERSION)
  message(FATAL_ERROR "Could not write the version into ${SOURCE}/package.json: ${noVersion}")
endif()
file(WRITE ${package}/package.json "${manifest}")

file(GLOB oldArchives ${OUTPUT}/com.velantis.client-*.tgz)
if(oldArchives)
  file(REMOVE ${oldArchives})
endif()
file(ARCHIVE_CREATE OUTPUT ${OUTPUT}/com.velantis.client-${VERSION}.tgz PATHS package
     FORMAT gnutar COMPRESSION GZip)
message(STATUS "Unity package: ${package} and ${OUTPUT}/com.velantis.client-${VERSION}.tgz")
