# The station's tool-bar bitmaps, list state pictures, image button picture and program icon,
# drawn at build time by resources/station/draw_images.py.
set(station_image_dir ${CMAKE_CURRENT_BINARY_DIR}/station)
set(station_images usb blue blued yellow green red start remove setting package main main48)
set(station_image_files "")
foreach(name ${station_images})
  list(APPEND station_image_files ${station_image_dir}/${name}.png)
endforeach()
add_custom_command(
  OUTPUT ${station_image_files}
  COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/station/draw_images.py ${station_image_dir}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/station/draw_images.py
  COMMENT "Drawing the station's pictures"
  VERBATIM)
add_custom_target(zelk_station_images DEPENDS ${station_image_files})

foreach(pair USB:usb BLUE:blue BLUED:blued YELLOW:yellow GREEN:green RED:red
             start:start remove:remove setting:setting package:package)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 name)
  list(GET pair 1 file)
  set_property(GLOBAL APPEND PROPERTY ZELK_STATION_RESOURCES
    TYPE BITMAP NAME ${name} FILE ${station_image_dir}/${file}.png)
endforeach()
set_property(GLOBAL APPEND PROPERTY ZELK_STATION_RESOURCES
  TYPE ICON NAME MAIN FILE ${station_image_dir}/main.png
  TYPE ICON NAME MAIN48 FILE ${station_image_dir}/main48.png)
set_property(GLOBAL APPEND PROPERTY ZELK_STATION_RESOURCE_DEPS zelk_station_images)
