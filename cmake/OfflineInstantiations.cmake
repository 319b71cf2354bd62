# Writes one translation unit per (detector, cost model) pair of src/ovrel/offline/
# instantiations.cmake into the build tree and adds it to ovrel_offline. Each unit includes the
# detector's template definitions and the one cost header it needs, then expands the detector's
# OVREL_INSTANTIATE_<DETECTOR>(type) macro.

# The cost models (OVREL_COST_MODELS) and the pairs (OVREL_OFFLINE_PAIRS).
include("${CMAKE_CURRENT_SOURCE_DIR}/src/ovrel/offline/instantiations.cmake")

function(ovrel_generate_offline_instantiations target)
  set(out_dir "${CMAKE_CURRENT_BINARY_DIR}/generated/instantiations")
  set(sources)
  foreach(pair ${OVREL_OFFLINE_PAIRS})
    string(REPLACE ":" ";" parts "${pair}")
    list(LENGTH parts count)
    if(NOT count EQUAL 2)
      message(FATAL_ERROR "offline pair '${pair}' is not detector:cost")
    endif()
    list(GET parts 0 detector)
    list(GET parts 1 cost)
    set(cost_header "")
    foreach(entry ${OVREL_COST_MODELS})
      string(REPLACE "|" ";" fields "${entry}")
      list(GET fields 0 key)
      if(key STREQUAL cost)
        list(GET fields 1 cost_header)
        list(GET fields 2 cost_type)
      endif()
    endforeach()
    if(cost_header STREQUAL "")
      message(FATAL_ERROR "offline pair '${pair}': unknown cost model '${cost}'")
    endif()
    if(NOT EXISTS "${CMAKE_CURRENT_SOURCE_DIR}/src/ovrel/offline/${detector}_impl.hpp")
      message(FATAL_ERROR "offline pair '${pair}': no src/ovrel/offline/${detector}_impl.hpp")
    endif()
    string(TOUPPER "${detector}" macro_detector)
    set(file "${out_dir}/${detector}_${cost}.cpp")
    file(CONFIGURE OUTPUT "${file}" CONTENT
"// Generated from src/ovrel/offline/instantiations.cmake; edit the list there.
#include \"${cost_header}\"
#include \"ovrel/offline/${detector}_impl.hpp\"

OVREL_INSTANTIATE_${macro_detector}(${cost_type})
" @ONLY)
    list(APPEND sources "${file}")
  endforeach()
  target_sources(${target} PRIVATE ${sources})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               "${CMAKE_CURRENT_SOURCE_DIR}/src/ovrel/offline/instantiations.cmake")
endfunction()
