# find_package(Kestar): the imported target Kestar::kestar (libkestar.so and its header).
# The module is 32-bit; the project that uses it builds with -m32.
get_filename_component(_kestar_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(NOT TARGET Kestar::kestar)
  add_library(Kestar::kestar SHARED IMPORTED)
  set_target_properties(Kestar::kestar PROPERTIES
    IMPORTED_LOCATION "${_kestar_prefix}/lib/libkestar.so"
    IMPORTED_SONAME "libkestar.so"
    INTERFACE_INCLUDE_DIRECTORIES "${_kestar_prefix}/include")
endif()
unset(_kestar_prefix)
