# The release folder, run by the win32 preset's target `dist` (cmake -P):
# DIST (the folder, made anew), the two exes EXES, README (LF text, written
# as README.TXT with CR LF for the target machine) and SHA256SUMS in
# sha256sum's format.
file(REMOVE_RECURSE "${DIST}")
file(MAKE_DIRECTORY "${DIST}")
set(names "")
foreach(exe ${EXES})
  file(COPY "${exe}" DESTINATION "${DIST}")
  get_filename_component(name "${exe}" NAME)
  list(APPEND names "${name}")
endforeach()
file(READ "${README}" text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${DIST}/README.TXT" "${text}")
list(APPEND names README.TXT)
set(sums "")
foreach(name ${names})
  file(SHA256 "${DIST}/${name}" sum)
  string(APPEND sums "${sum}  ${name}\n")
endforeach()
file(WRITE "${DIST}/SHA256SUMS" "${sums}")
