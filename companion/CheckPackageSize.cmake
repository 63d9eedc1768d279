# cmake -DAPK=<file> -DLIMIT=<bytes> -P CheckPackageSize.cmake: fails (and removes the package)
# when the package is larger than the limit.
file(SIZE ${APK} size)
if(size GREATER LIMIT)
  file(REMOVE ${APK})
  message(FATAL_ERROR "${APK} has ${size} bytes; a companion package may have at most ${LIMIT}")
endif()
