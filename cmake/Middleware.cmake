# The middleware the component, VorlindeComp and anglesend are built
# against: the project's own runtime (VORLINDE_OPENRTM empty, the default),
# or an installed one, found through its pkg-config module
# (-DVORLINDE_OPENRTM=openrtm-aist, or vorlinde-rtm for ours installed) or
# through its CMake package (-DVORLINDE_OPENRTM=OpenRTM, with OpenRTM_DIR or
# CMAKE_PREFIX_PATH; the only way to OpenRTM-aist 2.0, whose pkg-config
# file is malformed).
#
# Defines the interface target vorlinde_middleware and
# VORLINDE_MIDDLEWARE_STANDARD / _EXTENSIONS: the C++ standard the
# install asks for (1.2's headers need gnu++14), C++14 when it says none.
set(VORLINDE_OPENRTM "" CACHE STRING
  "Build Vorlinde.so, VorlindeComp and anglesend against an installed middleware: a pkg-config module, or OpenRTM for its CMake package; empty: the project's own runtime")

add_library(vorlinde_middleware INTERFACE)
set(VORLINDE_MIDDLEWARE_STANDARD 14)
set(VORLINDE_MIDDLEWARE_EXTENSIONS OFF)

# Splits compile flags into the standard they ask for and the others.
function(vorlinde_take_flags flags)
  set(others)
  foreach(flag ${flags})
    if(flag MATCHES "^-std=(gnu|c)\\+\\+([0-9]+)$")
      set(VORLINDE_MIDDLEWARE_STANDARD ${CMAKE_MATCH_2} PARENT_SCOPE)
      if(CMAKE_MATCH_1 STREQUAL "gnu")
        set(VORLINDE_MIDDLEWARE_EXTENSIONS ON PARENT_SCOPE)
      endif()
    elseif(flag MATCHES "^-I(.*)$")
      target_include_directories(vorlinde_middleware SYSTEM INTERFACE ${CMAKE_MATCH_1})
    elseif(NOT flag MATCHES "^-W")
      list(APPEND others ${flag})
    endif()
  endforeach()
  # 1.x headers declare dynamic exception specifications: deprecated, and
  # not ours to mend.
  target_compile_options(vorlinde_middleware INTERFACE ${others} -Wno-deprecated -Wno-deprecated-declarations)
endfunction()

if(NOT VORLINDE_OPENRTM)
  target_link_libraries(vorlinde_middleware INTERFACE rtm)
elseif(VORLINDE_OPENRTM STREQUAL "OpenRTM")
  find_package(OpenRTM REQUIRED)
  message(STATUS "Vorlinde: building the component, VorlindeComp and anglesend against OpenRTM-aist ${OPENRTM_VERSION}")
  separate_arguments(cflags UNIX_COMMAND "${OPENRTM_CFLAGS}")
  vorlinde_take_flags("${cflags}")
  target_include_directories(vorlinde_middleware SYSTEM INTERFACE ${OPENRTM_INCLUDE_DIRS})
  target_link_directories(vorlinde_middleware INTERFACE ${OPENRTM_LIBRARY_DIRS})
  separate_arguments(ldflags UNIX_COMMAND "${OPENRTM_LDFLAGS}")
  target_link_libraries(vorlinde_middleware INTERFACE ${OPENRTM_LIBRARIES} ${ldflags})
else()
  pkg_check_modules(EXTRTM REQUIRED ${VORLINDE_OPENRTM})
  message(STATUS "Vorlinde: building the component, VorlindeComp and anglesend against ${VORLINDE_OPENRTM} ${EXTRTM_VERSION}")
  vorlinde_take_flags("${EXTRTM_CFLAGS_OTHER}")
  target_include_directories(vorlinde_middleware SYSTEM INTERFACE ${EXTRTM_INCLUDE_DIRS})
  target_link_libraries(vorlinde_middleware INTERFACE ${EXTRTM_LDFLAGS})
endif()

# The targets that take the middleware: its standard, its headers.
function(vorlinde_uses_middleware target)
  target_link_libraries(${target} PRIVATE vorlinde_middleware)
  set_target_properties(${target} PROPERTIES CXX_STANDARD ${VORLINDE_MIDDLEWARE_STANDARD}
                                             CXX_EXTENSIONS ${VORLINDE_MIDDLEWARE_EXTENSIONS})
endfunction()
