# The companion packages built in companion/, embedded as resources of type APK.
get_property(apk160 GLOBAL PROPERTY ZELK_COMPANION_APK_160)
get_property(apk165 GLOBAL PROPERTY ZELK_COMPANION_APK_165)
get_property(apk167 GLOBAL PROPERTY ZELK_COMPANION_APK_167)
if(apk160 AND apk165 AND apk167)
  set_property(GLOBAL APPEND PROPERTY ZELK_STATION_RESOURCES
    TYPE APK NAME "#160" FILE ${apk160}
    TYPE APK NAME "#165" FILE ${apk165}
    TYPE APK NAME "#167" FILE ${apk167})
  set_property(GLOBAL APPEND PROPERTY ZELK_STATION_RESOURCE_DEPS companion_packages)
endif()
