# Read by cpack (CPACK_PROJECT_CONFIG_FILE) as it starts. A package for another architecture
# than the machine's: dpkg-shlibdeps must look for the programs' libraries in that
# architecture's multiarch folders and read them with its objdump, which it does when
# DEB_HOST_ARCH names it.
if(CPACK_GENERATOR STREQUAL "DEB" AND CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
    set(ENV{DEB_HOST_ARCH} "${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}")
endif()
