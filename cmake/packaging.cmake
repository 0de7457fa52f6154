# Everything installed besides the program, and the packages CPack builds from
# the install: a Debian package on Linux (cpack -G DEB), a zip on Windows.
# The version of both is the one in project().
include(GNUInstallDirs)

set(KELVOR_MAINTAINER "kelvor developers <kelvor@example.org>"
    CACHE STRING "Maintainer named in the Debian package and its changelog")

# The generator of the frame picture and of the rate tables, with their checks.
if(NOT CMAKE_CROSSCOMPILING)
    add_subdirectory(tools)
endif()

set(CPACK_PACKAGE_NAME kelvor)
set(CPACK_PACKAGE_VENDOR "the kelvor developers")
set(CPACK_PACKAGE_CONTACT "${KELVOR_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "square-wave generator on the transmit line of a serial port")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_SOURCE_GENERATOR "")

if(WIN32)
    # The zip: bin/kelvor.exe, README.md with the frame picture, LICENSE.txt.
    install(FILES README.md DESTINATION .)
    install(FILES docs/frames.svg DESTINATION docs)
    install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME kelvor-${PROJECT_VERSION}-win64)
else()
    set(kelvor_doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/kelvor)

    # Man page and changelog go out compressed, as Debian expects; -n keeps the
    # name and time stamp out so that every build gives the same bytes.
    find_program(KELVOR_GZIP gzip REQUIRED)
    configure_file(docs/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/changelog @ONLY)
    add_custom_command(
        OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/kelvor.1.gz
        COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/docs/kelvor.1 kelvor.1
        COMMAND ${KELVOR_GZIP} -9nf kelvor.1
        DEPENDS ${PROJECT_SOURCE_DIR}/docs/kelvor.1
        WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
        VERBATIM)
    add_custom_command(
        OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
        COMMAND ${KELVOR_GZIP} -9nkf changelog
        DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog
        WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
        VERBATIM)
    add_custom_target(kelvor_docs ALL
        DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/kelvor.1.gz ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)

    # The Debian copyright file, in the machine-readable format, made from LICENSE
    # so that the two cannot differ.
    file(READ ${PROJECT_SOURCE_DIR}/LICENSE kelvor_license)
    string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" kelvor_copyright_line "${kelvor_license}")
    set(kelvor_copyright "${CMAKE_MATCH_1}")
    string(REGEX REPLACE "^.*Copyright \\(c\\) [^\n]*\n\n" "" kelvor_terms "${kelvor_license}")
    string(STRIP "${kelvor_terms}" kelvor_terms)
    string(REPLACE "\n\n" "\n.\n" kelvor_terms "${kelvor_terms}")
    string(REPLACE "\n" "\n " kelvor_terms "${kelvor_terms}")
    file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/copyright
        "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
        "Upstream-Name: kelvor\n"
        "\n"
        "Files: *\n"
        "Copyright: ${kelvor_copyright}\n"
        "License: Expat\n"
        " ${kelvor_terms}\n")

    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kelvor.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
        README.md
        DESTINATION ${kelvor_doc_dir})
    install(FILES docs/frames.svg DESTINATION ${kelvor_doc_dir}/docs)

    # The shipped program gets the usual hardening of a Debian binary: read-only
    # relocations bound at start, and checked string and memory functions.
    if(TARGET kelvor)
        target_compile_options(kelvor PRIVATE
            "$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
        target_link_options(kelvor PRIVATE -Wl,-z,relro,-z,now)
    endif()

    set(CPACK_GENERATOR DEB)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    # CPack puts the summary above this as the synopsis line.
    set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
        "kelvor keeps a serial port sending one byte back to back and picks the line
speed, parity and stop bits so that the transmit line carries a square wave
with a 50 % duty cycle. It offers 30 frequencies from 18 Hz to 19200 Hz,
stepped with the arrow keys, for testing at the bench with a USB-serial
adapter or a built-in port and a scope or frequency counter.")
endif()

include(CPack)
