# Writes one "<name>-<version>.dist-info" folder per component the program delivers or
# links into the program folder, holding the component's own licence files: the Debian
# package's copyright file for a library, the npm package's licence files for a part of
# the page. Run by the build (cmake -P) with OUT_DIR and WEB_DIR set.
#
# Libraries the program links, as "<name shown>=<Debian package that brings them>".
set(DEBIAN_COMPONENTS
  "nlohmann-json=nlohmann-json3-dev"
  "libssh=libssh-dev"
  "ICU=libicu-dev"
  "libcurl=libcurl4-openssl-dev"
  "zlib=zlib1g-dev"
  "OpenSSL=libssl-dev"
  "libgcrypt=libgcrypt20-dev"
  "GLib=libglib2.0-dev"
  "GTK=libgtk-3-dev"
  "WebKitGTK=libwebkit2gtk-4.1-dev"
  "ayatana-appindicator=libayatana-appindicator3-dev")
# The Windows folder (SYSTEM=Windows) carries other libraries: mingw builds and its run-time
# DLLs; libssh is built from the same Debian source as libssh-dev.
if(SYSTEM STREQUAL "Windows")
  set(DEBIAN_COMPONENTS
    "nlohmann-json=nlohmann-json3-dev"
    "libssh=libssh-dev"
    "zlib=libz-mingw-w64-dev"
    "libgcrypt=libgcrypt-mingw-w64-dev"
    "libgpg-error=libgpg-error-mingw-w64-dev"
    "gcc-runtime=gcc-mingw-w64-x86-64-posix-runtime"
    "mingw-w64-runtime=mingw-w64-x86-64-dev")
  # The SSH libraries only when the folder delivers them (the SSH components are built).
  if(NOT EXISTS "${OUT_DIR}/libssh.dll")
    list(REMOVE_ITEM DEBIAN_COMPONENTS "libssh=libssh-dev")
  endif()
  if(NOT EXISTS "${OUT_DIR}/libgcrypt-20.dll")
    list(REMOVE_ITEM DEBIAN_COMPONENTS "libgcrypt=libgcrypt-mingw-w64-dev"
      "libgpg-error=libgpg-error-mingw-w64-dev")
  endif()
endif()

if(NOT OUT_DIR OR NOT WEB_DIR)
  message(FATAL_ERROR "third_party_notices.cmake needs OUT_DIR and WEB_DIR")
endif()
set(MARK "termiva-build")

# Folders written by an earlier build go, so a component that changed version or left
# leaves no notice behind.
file(GLOB old_folders LIST_DIRECTORIES true "${OUT_DIR}/*.dist-info")
foreach(folder ${old_folders})
  if(EXISTS "${folder}/INSTALLER")
    file(READ "${folder}/INSTALLER" installer)
    if(installer MATCHES "^${MARK}")
      file(REMOVE_RECURSE "${folder}")
    endif()
  endif()
endforeach()

# A version is the part after the last "-" of the folder name: no "-" may be in it.
function(plain_version out raw)
  string(REGEX REPLACE "^[0-9]+:" "" v "${raw}")     # Debian epoch
  string(REGEX REPLACE "-[^-]*$" "" v "${v}")         # Debian revision
  string(REPLACE "-" "." v "${v}")
  set(${out} "${v}" PARENT_SCOPE)
endfunction()

function(write_folder name version source files)
  set(folder "${OUT_DIR}/${name}-${version}.dist-info")
  file(MAKE_DIRECTORY "${folder}")
  foreach(pair ${files})
    string(REPLACE "=" ";" parts "${pair}")
    list(GET parts 0 from)
    list(GET parts 1 to)
    file(COPY_FILE "${from}" "${folder}/${to}")
  endforeach()
  file(WRITE "${folder}/METADATA" "Name: ${name}\nVersion: ${version}\nSource: ${source}\n")
  file(WRITE "${folder}/INSTALLER" "${MARK}\n")
endfunction()

find_program(DPKG_QUERY dpkg-query)
if(NOT DPKG_QUERY)
  message(FATAL_ERROR "dpkg-query is needed to name the linked libraries' versions")
endif()
foreach(entry ${DEBIAN_COMPONENTS})
  string(REPLACE "=" ";" parts "${entry}")
  list(GET parts 0 name)
  list(GET parts 1 package)
  execute_process(COMMAND ${DPKG_QUERY} -W -f=\${Version} ${package}
    OUTPUT_VARIABLE full_version RESULT_VARIABLE rc ERROR_QUIET)
  set(copyright "/usr/share/doc/${package}/copyright")
  if(NOT rc EQUAL 0 OR full_version STREQUAL "" OR NOT EXISTS "${copyright}")
    message(FATAL_ERROR "no licence for ${name}: package ${package} is not installed (scripts/install-deps.sh)")
  endif()
  plain_version(version "${full_version}")
  write_folder("${name}" "${version}" "Debian package ${package} ${full_version}"
    "${copyright}=LICENSE")
endforeach()

# The page's run-time packages: every package of package-lock.json that is not a test
# tool, so what a delivered package bundles (markdown-it's linkify-it, mdurl, ...) gets
# its notice too.
file(READ "${WEB_DIR}/package-lock.json" lock)
string(JSON count ERROR_VARIABLE no_packages LENGTH "${lock}" packages)
if(no_packages)
  message(FATAL_ERROR "web/package-lock.json lists no packages")
endif()
math(EXPR last "${count} - 1")
foreach(i RANGE ${last})
  string(JSON key MEMBER "${lock}" packages ${i})
  if(key STREQUAL "")
    continue()  # the page itself
  endif()
  string(JSON dev ERROR_VARIABLE no_dev GET "${lock}" packages "${key}" dev)
  string(JSON dev_optional ERROR_VARIABLE no_dev_optional GET "${lock}" packages "${key}" devOptional)
  string(JSON optional ERROR_VARIABLE no_optional GET "${lock}" packages "${key}" optional)
  if((NOT no_dev AND dev) OR (NOT no_dev_optional AND dev_optional))
    continue()
  endif()
  string(REGEX REPLACE "^.*node_modules/" "" package "${key}")
  set(dir "${WEB_DIR}/${key}")
  if(NOT EXISTS "${dir}/package.json")
    if(NOT no_optional AND optional)
      continue()  # an optional package npm left out on this machine
    endif()
    message(FATAL_ERROR "npm package ${package} is not installed: run scripts/install-deps.sh")
  endif()
  file(READ "${dir}/package.json" package_manifest)
  string(JSON version GET "${package_manifest}" version)
  plain_version(version "${version}-x")
  # "@xterm/addon-fit" is shown as "xterm-addon-fit", "@xterm/xterm" as "xterm".
  set(name "${package}")
  if(package MATCHES "^@([^/]+)/(.+)$")
    set(scope "${CMAKE_MATCH_1}")
    set(base "${CMAKE_MATCH_2}")
    if(base STREQUAL scope OR base MATCHES "^${scope}[-.]")
      set(name "${base}")
    else()
      set(name "${scope}-${base}")
    endif()
  endif()
  file(GLOB licences "${dir}/LICEN[CS]E*" "${dir}/licen[cs]e*" "${dir}/NOTICE")
  if(NOT licences)
    message(FATAL_ERROR "npm package ${package} has no licence file")
  endif()
  set(files)
  foreach(licence ${licences})
    get_filename_component(file_name "${licence}" NAME)
    list(APPEND files "${licence}=${file_name}")
  endforeach()
  write_folder("${name}" "${version}" "npm package ${package}" "${files}")
endforeach()
