# Compares a document with the output of frame_svg, or rewrites it.
#   -DTOOL=path of frame_svg  -DMODE=svg|markdown|roff  -DDOC=document
#   -DACTION=check|write      -DWHOLE=ON (the document is the output) or OFF
#                             (the output must appear in it as one block)
execute_process(COMMAND ${TOOL} ${MODE}
    OUTPUT_VARIABLE generated
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "frame_svg ${MODE} failed (${status})")
endif()

if(ACTION STREQUAL "write")
    file(WRITE ${DOC} "${generated}")
    message(STATUS "wrote ${DOC}")
    return()
endif()

if(NOT EXISTS ${DOC})
    message(FATAL_ERROR "${DOC} is missing")
endif()
file(READ ${DOC} document)
if(WHOLE)
    if(NOT document STREQUAL generated)
        message(FATAL_ERROR "${DOC} differs from what frame_svg ${MODE} prints; "
            "rebuild it with: cmake --build --preset default --target frames_svg")
    endif()
else()
    string(FIND "${document}" "${generated}" position)
    if(position EQUAL -1)
        message(FATAL_ERROR "${DOC} does not contain the rate table as the rate table "
            "now reads; replace its table with this block:\n${generated}")
    endif()
endif()
