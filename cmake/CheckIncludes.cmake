cmake_minimum_required(VERSION 3.25)
# Fails when a library under src/ includes a header of a library it may not
# depend on. Run by ctest (LibraryEdgesAreAllowed): cmake -DSOURCE_DIR=<repo> -P CheckIncludes.cmake
#
# Each library and the libraries whose headers it may include. The graph points
# downwards: front ends, then the reader and card operations, personalisation,
# the container, the card runtime and the applet beside it, the card's cryptography, the card
# framework the applet and the cryptography program against (jc), the platform,
# base. Only the runtime sees crypto's concrete classes.
set(allowed_base "")
set(allowed_platform base)
set(allowed_crypto base jc)
set(allowed_jc base)
set(allowed_runtime base crypto jc)
set(allowed_gids base jc)
set(allowed_container base jc platform runtime)
set(allowed_personalise base container gids jc platform runtime)
set(allowed_reader base container gids jc platform runtime)
set(allowed_cardops base container gids jc personalise platform reader runtime)
set(allowed_cli base cardops container gids jc personalise platform reader runtime)
set(allowed_desktop base personalise platform)
set(allowed_wizard base desktop personalise platform)
set(allowed_manager base cardops desktop personalise platform)

file(GLOB libraries RELATIVE ${SOURCE_DIR}/src ${SOURCE_DIR}/src/*)
set(faults "")
foreach(library IN LISTS libraries)
  if(NOT IS_DIRECTORY ${SOURCE_DIR}/src/${library})
    continue()
  endif()
  if(NOT DEFINED allowed_${library})
    list(APPEND faults "src/${library} is a library the edge table does not know")
    continue()
  endif()
  file(GLOB_RECURSE sources ${SOURCE_DIR}/src/${library}/*.h ${SOURCE_DIR}/src/${library}/*.cpp)
  foreach(source IN LISTS sources)
    file(STRINGS ${source} includes REGEX "^#include \"[a-z_]+/")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^#include \"([a-z_]+)/.*" "\\1" target "${line}")
      if(NOT target STREQUAL library AND NOT target IN_LIST allowed_${library})
        file(RELATIVE_PATH where ${SOURCE_DIR} ${source})
        list(APPEND faults "${where}: ${library} may not include ${target} (${line})")
      endif()
    endforeach()
  endforeach()
endforeach()

if(faults)
  list(JOIN faults "\n" text)
  message(FATAL_ERROR "include edges not allowed:\n${text}")
endif()
message(STATUS "every include edge is allowed")
