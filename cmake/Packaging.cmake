# The Debian package "velk-unpack": the three programs and their manual pages, as installed
# under /usr. Made in a configured and built folder with
#   cpack --config BUILD/CPackConfig.cmake      (or `cpack` inside BUILD)
# which writes BUILD/velk-unpack_VERSION_ARCH.deb. Depends is worked out by dpkg-shlibdeps
# from the libraries the programs load (zlib, JsonCpp, libsodium and the C and C++ runtimes),
# so it names the packages that really provide them; libcurl4 is added by hand. A cross build packages for its target:
# the Debian architecture is that of the toolchain's multiarch triplet, and
# cmake/PackagingRun.cmake hands it to dpkg-shlibdeps when cpack runs.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velk-unpack)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "install VELK update packages into a directory")
set(CPACK_PACKAGE_DESCRIPTION
    "velk-unpack installs software updates carried in VELK packages: enciphered,
gzip-compressed ustar archives with a label, custom information and a version.
It unpacks every package of a file into a directory, emptied first or swapped
in whole, and records the version only once the files are on disk. Nothing is
written outside the directory or through a link the archive made, and
signatures made with minisign can be required.

velk-inspect lists and verifies a package file without unpacking it;
velk-pack makes packages.")
set(VELK_DEB_MAINTAINER "velk-unpack developers <velk-unpack@example.org>" CACHE STRING
    "The Maintainer field of the Debian package: a name and an e-mail address")
set(CPACK_PACKAGE_CONTACT "${VELK_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VELK_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# minisign makes the keys and signatures that --pubkey checks.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS minisign)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libcurl is loaded when a URL is fetched, not linked (download/CurlLibrary.h), so
# dpkg-shlibdeps cannot see it: named here, with the version that has every call used.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcurl4 (>= 7.85.0)")
# <name>_<version>_<architecture>.deb, as Debian names packages.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
# Into the build folder, wherever cpack is started.
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

if(CMAKE_CROSSCOMPILING)
    if(NOT CMAKE_LIBRARY_ARCHITECTURE)
        message(FATAL_ERROR "a cross build needs CMAKE_LIBRARY_ARCHITECTURE (the multiarch triplet) "
                            "in its toolchain file to name the package's architecture")
    endif()
    find_program(VELK_DPKG_ARCHITECTURE dpkg-architecture NO_CMAKE_FIND_ROOT_PATH)
    if(VELK_DPKG_ARCHITECTURE)
        execute_process(COMMAND "${VELK_DPKG_ARCHITECTURE}" -t "${CMAKE_LIBRARY_ARCHITECTURE}" -qDEB_HOST_ARCH
                        OUTPUT_VARIABLE VELK_DEB_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE
                        RESULT_VARIABLE VELK_DEB_ARCHITECTURE_RESULT ERROR_QUIET)
    endif()
    # Without dpkg-dev the build still works; only cpack cannot make the package.
    if(VELK_DEB_ARCHITECTURE AND VELK_DEB_ARCHITECTURE_RESULT EQUAL 0)
        set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "${VELK_DEB_ARCHITECTURE}")
    else()
        message(STATUS "dpkg-architecture gave no Debian architecture for ${CMAKE_LIBRARY_ARCHITECTURE}: "
                       "install dpkg-dev to make the Debian package")
    endif()
endif()
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/PackagingRun.cmake")

include(CPack)
