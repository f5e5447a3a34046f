# Fails when a source file under src/ includes a header of a layer above its
# own. Run by the build (the target vardex_layers) with -DSOURCE_DIR=<src>.
#
#   platform <- base <- transfer <- server <- service
#                          ^
#                          +------- client
cmake_minimum_required(VERSION 3.25)
set(allowed_platform platform)
set(allowed_base platform base)
set(allowed_transfer platform base transfer)
set(allowed_server platform base transfer server)
set(allowed_service platform base transfer server service)
set(allowed_client platform base transfer client)

get_filename_component(SOURCE_DIR ${SOURCE_DIR} ABSOLUTE)
file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*.h ${SOURCE_DIR}/*.cpp)
set(violations "")
foreach(source IN LISTS sources)
  string(REGEX MATCH "^[^/]+" layer ${source})
  if(NOT DEFINED allowed_${layer})
    string(APPEND violations "\n  ${source}: src/${layer} is not a known layer")
    continue()
  endif()
  file(STRINGS ${SOURCE_DIR}/${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^/\"]+/")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^/\"]+)/.*" "\\1" target ${line})
    if(NOT target IN_LIST allowed_${layer})
      list(JOIN allowed_${layer} ", " allowed)
      string(APPEND violations "\n  ${source} includes ${target}/: ${layer} may include only ${allowed}")
    endif()
  endforeach()
  # Platform differences live below src/platform only.
  if(NOT layer STREQUAL "platform")
    file(STRINGS ${SOURCE_DIR}/${source} conditionals REGEX "^[ \t]*#[ \t]*if.*(_WIN32|_WIN64|__linux__|__unix__|__APPLE__|__MINGW)")
    foreach(line IN LISTS conditionals)
      string(APPEND violations "\n  ${source}: platform condition above src/platform: ${line}")
    endforeach()
  endif()
endforeach()
if(violations)
  message(FATAL_ERROR "Layer rules broken:${violations}")
endif()
