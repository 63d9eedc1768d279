# zelk_folder_library(<name> <folder> <links...>): the static library of one source folder, built
# from its *.cpp (a main.cpp belongs to its program, not to the library); its headers are reached
# by their plain names. It links the given libraries, and only those.
function(zelk_folder_library name folder)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/${folder})
  target_link_libraries(${name} PUBLIC ${ARGN})
endfunction()
