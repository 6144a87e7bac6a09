# find_package(Kestar): the imported target Kestar::kestar (libkestar.so and its header).
# The module is 32-bit: a target that links Kestar::kestar is compiled and linked with
# -m32 on a 64-bit compiler; the rest of the project keeps its own word size.
get_filename_component(_kestar_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(NOT TARGET Kestar::kestar)
  add_library(Kestar::kestar SHARED IMPORTED)
  set_target_properties(Kestar::kestar PROPERTIES
    IMPORTED_LOCATION "${_kestar_prefix}/lib/libkestar.so"
    IMPORTED_SONAME "libkestar.so"
    INTERFACE_INCLUDE_DIRECTORIES "${_kestar_prefix}/include")
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set_target_properties(Kestar::kestar PROPERTIES INTERFACE_COMPILE_OPTIONS -m32 INTERFACE_LINK_OPTIONS -m32)
    if(NOT Kestar_FIND_QUIETLY)
      message(STATUS "Kestar: libkestar.so is 32-bit; targets that link Kestar::kestar are built with -m32 "
                     "(they need gcc-multilib), or configure the whole project with CMAKE_C_FLAGS=-m32")
    endif()
  elseif(NOT CMAKE_SIZEOF_VOID_P EQUAL 4 AND DEFINED CMAKE_SIZEOF_VOID_P)
    message(FATAL_ERROR "Kestar: libkestar.so is a 32-bit library; build this project 32-bit (-m32)")
  endif()
endif()
unset(_kestar_prefix)
