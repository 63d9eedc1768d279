# zelk_android_package(<apk> PROJECT <dir> KEY <name> [ASSETS <files...>])
#
# Builds a signed Android package from <dir>: AndroidManifest.xml, res/ and smali/ are
# configured with the caller's @VARIABLES@ (twice, so that a substituted text may name more),
# the smali classes are assembled to classes.dex (zelk_android_dex), aapt packages them against Debian's
# framework resources with the ASSETS under assets/, zipalign aligns the package and apksigner
# signs it with keys/<name>.pk8 and keys/<name>.x509.pem. The build fails when the package is
# larger than ZELK_APK_SIZE_LIMIT bytes. Sets ZELK_ANDROID_PACKAGE to <apk>.
find_program(ZELK_SMALI smali REQUIRED)
find_program(ZELK_AAPT aapt REQUIRED)
find_program(ZELK_ZIPALIGN zipalign REQUIRED)
find_program(ZELK_APKSIGNER apksigner REQUIRED)
set(ZELK_FRAMEWORK_RES /usr/share/android-framework-res/framework-res.apk CACHE FILEPATH
    "Android framework resources that aapt packages against")
if(NOT EXISTS ${ZELK_FRAMEWORK_RES})
  message(FATAL_ERROR "${ZELK_FRAMEWORK_RES} is missing; run tools/setup.sh")
endif()
# The station reads a package resource into a buffer of this size.
set(ZELK_APK_SIZE_LIMIT 280000 CACHE INTERNAL "")
set(ZELK_COMPANION_DIR ${CMAKE_CURRENT_LIST_DIR} CACHE INTERNAL "")

# zelk_android_configure(<dir> PROJECT <project>): configures the project's AndroidManifest.xml,
# res/ and smali/ into <dir> with the caller's @VARIABLES@. Sets ZELK_ANDROID_FILES (all of
# them) and ZELK_ANDROID_SMALI (the smali classes).
function(zelk_android_configure dir)
  cmake_parse_arguments(P "" "PROJECT" "" ${ARGN})
  file(GLOB_RECURSE templates RELATIVE ${P_PROJECT} CONFIGURE_DEPENDS
       ${P_PROJECT}/AndroidManifest.xml ${P_PROJECT}/res/* ${P_PROJECT}/smali/*.smali)
  set(configured "")
  set(smali_files "")
  foreach(t ${templates})
    file(READ ${P_PROJECT}/${t} content)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${P_PROJECT}/${t})
    string(CONFIGURE "${content}" content @ONLY)
    file(CONFIGURE OUTPUT ${dir}/${t} CONTENT "${content}" @ONLY)
    list(APPEND configured ${dir}/${t})
    if(t MATCHES "\\.smali$")
      list(APPEND smali_files ${dir}/${t})
    endif()
  endforeach()
  set(ZELK_ANDROID_FILES ${configured} PARENT_SCOPE)
  set(ZELK_ANDROID_SMALI ${smali_files} PARENT_SCOPE)
endfunction()

# zelk_android_dex(<dex> PROJECT <project>): the project's smali classes, configured with the
# caller's @VARIABLES@ into <dex's directory>/src, assembled to <dex>. Sets ZELK_ANDROID_FILES.
function(zelk_android_dex dex)
  cmake_parse_arguments(P "" "PROJECT" "" ${ARGN})
  get_filename_component(work ${dex} DIRECTORY)
  zelk_android_configure(${work}/src PROJECT ${P_PROJECT})
  add_custom_command(OUTPUT ${dex}
    COMMAND ${ZELK_SMALI} assemble --api 8 --jobs 1 -o ${dex} ${ZELK_ANDROID_SMALI}
    DEPENDS ${ZELK_ANDROID_SMALI}
    COMMENT "Dalvik classes ${dex}"
    VERBATIM)
  set(ZELK_ANDROID_FILES ${ZELK_ANDROID_FILES} PARENT_SCOPE)
endfunction()

function(zelk_android_package apk)
  cmake_parse_arguments(P "" "PROJECT;KEY" "ASSETS" ${ARGN})
  get_filename_component(work ${apk} DIRECTORY)
  set(src ${work}/src)
  zelk_android_dex(${work}/classes.dex PROJECT ${P_PROJECT})  # configures ${src}

  set(asset_args "")
  set(copy_assets "")
  if(P_ASSETS)
    set(asset_args -A ${work}/assets)
    set(copy_assets COMMAND ${CMAKE_COMMAND} -E copy ${P_ASSETS} ${work}/assets/)
  endif()
  set(key ${ZELK_COMPANION_DIR}/keys/${P_KEY})

  add_custom_command(OUTPUT ${apk}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${work}/assets ${work}/unsigned.apk ${work}/aligned.apk ${apk}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${work}/assets
    ${copy_assets}
    COMMAND ${ZELK_AAPT} package -f -M ${src}/AndroidManifest.xml -S ${src}/res ${asset_args}
            -I ${ZELK_FRAMEWORK_RES} -F ${work}/unsigned.apk
    COMMAND ${CMAKE_COMMAND} "-DCMD=${ZELK_AAPT};add;${work}/unsigned.apk;classes.dex"
            -P ${ZELK_COMPANION_DIR}/RunQuiet.cmake
    COMMAND ${ZELK_ZIPALIGN} -f 4 ${work}/unsigned.apk ${work}/aligned.apk
    COMMAND ${ZELK_APKSIGNER} sign --key ${key}.pk8 --cert ${key}.x509.pem
            --v4-signing-enabled false --out ${apk} ${work}/aligned.apk
    COMMAND ${CMAKE_COMMAND} -DAPK=${apk} -DLIMIT=${ZELK_APK_SIZE_LIMIT}
            -P ${ZELK_COMPANION_DIR}/CheckPackageSize.cmake
    WORKING_DIRECTORY ${work}
    DEPENDS ${ZELK_ANDROID_FILES} ${work}/classes.dex ${P_ASSETS} ${key}.pk8 ${key}.x509.pem
            ${ZELK_COMPANION_DIR}/CheckPackageSize.cmake ${ZELK_COMPANION_DIR}/RunQuiet.cmake
    COMMENT "Android package ${apk}"
    VERBATIM)
  set(ZELK_ANDROID_PACKAGE ${apk} PARENT_SCOPE)
endfunction()
