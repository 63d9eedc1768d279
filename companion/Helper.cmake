# zelk_phoneinfo_helper(<output> ARM|X86 [ROOT <prefix>] [POLL_MS <ms>])
#
# Builds PhoneInfoTest as a static position-independent executable for 32-bit ARM (Thumb-2,
# hard-float EABI5) or x86 with Debian's cross compilers against musl. ROOT (a prefix of every
# fixed device path) and POLL_MS (the modem poll interval) are for test builds only.
find_program(ZELK_ARM_CC arm-linux-gnueabihf-gcc REQUIRED)
find_program(ZELK_X86_CC i686-linux-gnu-gcc REQUIRED)

set(ZELK_PHONEINFO_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/phoneinfo/jni/PhoneInfoTest.c
  ${CMAKE_CURRENT_LIST_DIR}/phoneinfo/jni/Modem.c
  ${CMAKE_CURRENT_LIST_DIR}/phoneinfo/jni/Identity.c
  ${CMAKE_CURRENT_LIST_DIR}/phoneinfo/jni/Reply.c
  CACHE INTERNAL "")
set(ZELK_PHONEINFO_HEADERS
  ${CMAKE_CURRENT_LIST_DIR}/phoneinfo/jni/PhoneInfoTest.h
  ${CMAKE_CURRENT_LIST_DIR}/phoneinfo/jni/Reply.h
  CACHE INTERNAL "")

function(zelk_phoneinfo_helper output build)
  cmake_parse_arguments(H "" "ROOT;POLL_MS" "" ${ARGN})
  if(build STREQUAL "ARM")
    set(cc ${ZELK_ARM_CC})
    set(musl /usr/lib/arm-linux-musleabihf)
    set(musl_include /usr/include/arm-linux-musleabihf)
    set(arch_flags -march=armv7-a -mthumb -mfpu=vfpv3-d16 -mfloat-abi=hard)
  elseif(build STREQUAL "X86")
    set(cc ${ZELK_X86_CC})
    set(musl /usr/lib/i386-linux-musl)
    set(musl_include /usr/include/i386-linux-musl)
    set(arch_flags -march=i686)
  else()
    message(FATAL_ERROR "zelk_phoneinfo_helper: build ${build} is neither ARM nor X86")
  endif()
  foreach(f include crtbeginS.o crtendS.o libgcc.a)
    execute_process(COMMAND ${cc} ${arch_flags} -print-file-name=${f}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    string(MAKE_C_IDENTIFIER "${f}" key)
    set(gcc_${key} ${path})
  endforeach()
  if(NOT EXISTS ${musl}/rcrt1.o)
    message(FATAL_ERROR "musl for ${build} is missing (${musl}/rcrt1.o); run tools/setup.sh")
  endif()

  set(defines -DPHONEINFO_${build})
  if(DEFINED H_ROOT)
    list(APPEND defines "-DPHONEINFO_ROOT=\"${H_ROOT}\"")
  endif()
  if(DEFINED H_POLL_MS)
    list(APPEND defines -DPHONEINFO_POLL_MS=${H_POLL_MS})
  endif()

  get_filename_component(dir ${output} DIRECTORY)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${cc} ${arch_flags} -std=gnu11 -Os -Wall -Wextra -fPIE
            -ffunction-sections -fdata-sections ${defines}
            -nostdinc -isystem ${musl_include} -isystem ${gcc_include}
            -nostdlib -static -Wl,-pie,--no-dynamic-linker,-z,text,--gc-sections -s
            ${musl}/rcrt1.o ${musl}/crti.o ${gcc_crtbeginS_o}
            ${ZELK_PHONEINFO_SOURCES}
            -Wl,--start-group ${musl}/libc.a ${gcc_libgcc_a} -Wl,--end-group
            ${gcc_crtendS_o} ${musl}/crtn.o
            -o ${output}
    DEPENDS ${ZELK_PHONEINFO_SOURCES} ${ZELK_PHONEINFO_HEADERS}
    COMMENT "PhoneInfoTest (${build}) ${output}"
    VERBATIM)
endfunction()
