# Included by the top-level CMakeLists.txt when VELK_FUZZ is off: VELK_FUZZING skips the
# head check of the decoder, the CRC of the gzip stage and the tar header checksum, so a
# build that could define it some other way (compiler flags, directory or target
# definitions) is refused.
set(velk_fuzzing_places
    "${CMAKE_C_FLAGS}" "${CMAKE_CXX_FLAGS}" "${CMAKE_CXX_FLAGS_${CMAKE_BUILD_TYPE}}" "$ENV{CXXFLAGS}" "$ENV{CFLAGS}")
get_directory_property(velk_dir_definitions COMPILE_DEFINITIONS)
get_directory_property(velk_dir_options COMPILE_OPTIONS)
list(APPEND velk_fuzzing_places "${velk_dir_definitions}" "${velk_dir_options}")
foreach(velk_target velk_file brn_gz brn_tar)
    foreach(velk_property COMPILE_DEFINITIONS COMPILE_OPTIONS INTERFACE_COMPILE_DEFINITIONS)
        get_target_property(velk_value ${velk_target} ${velk_property})
        if(velk_value)
            list(APPEND velk_fuzzing_places "${velk_value}")
        endif()
    endforeach()
endforeach()
if("${velk_fuzzing_places}" MATCHES "VELK_FUZZING")
    message(FATAL_ERROR "VELK_FUZZING is for the fuzz build only (-DVELK_FUZZ=ON)")
endif()
