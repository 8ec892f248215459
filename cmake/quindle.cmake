# Compiler and linker settings shared by the program, its tests and the helper tools, the
# icon directory that the program's resources share, and the version resource's numbers.

# Wide APIs only, and the Windows 10 declarations.
function(quindle_code_options target)
    target_compile_definitions(${target} PRIVATE UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN
        _WIN32_WINNT=0x0A00 WINVER=0x0A00)
    if(MSVC)
        target_compile_options(${target} PRIVATE /W4 /utf-8 /permissive-)
    else()
        # No folder of this machine in the output: the same source gives the same bytes
        # wherever it is built. The last map given wins, so files of a build folder
        # inside the source lose the build folder's path.
        target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Werror
            -ffunction-sections -fdata-sections
            -ffile-prefix-map=${CMAKE_SOURCE_DIR}/=
            -ffile-prefix-map=${CMAKE_BINARY_DIR}/=)
    endif()
endfunction()

# A Windows executable that carries no runtime DLL of its own, with ASLR
# (high-entropy), NX, and system DLLs resolved from System32 only. Its bytes depend
# on the source alone: no link time stamp (GNU ld writes the header checksum of the
# final file by itself; /RELEASE asks the same of MSVC's linker).
function(quindle_program_options target)
    if(MSVC)
        target_compile_options(${target} PRIVATE /Brepro)
        # /MANIFEST:NO: the manifest is our own resource; the linker's would be a second.
        target_link_options(${target} PRIVATE /DYNAMICBASE /HIGHENTROPYVA /NXCOMPAT
            /DEPENDENTLOADFLAG:0x800 /RELEASE /Brepro /MANIFEST:NO)
    else()
        target_link_options(${target} PRIVATE -static -municode
            -Wl,--dynamicbase,--high-entropy-va,--nxcompat,--gc-sections,--no-insert-timestamp
            $<$<CONFIG:Release>:-s>)
    endif()
endfunction()

# Writes a header that defines MACRO as the icon directory of the .ico file ICO in the
# form of an RT_GROUP_ICON resource, as raw data for the resource script: a second icon
# group that names the images of ICO's own ICON statement instead of storing them again.
# The group's directory is the file's header and the first 12 bytes of each entry, the
# entry's file offset replaced by the image's id; the resource compiler numbers the images
# of the script's first ICON statement 1, 2, ... in the file's order, so that statement
# must be ICO's. Raw data is made of WORDs: the bytes go in pairs, little-endian.
function(quindle_icon_directory ico macro output)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ico})
    file(READ ${ico} header LIMIT 6 HEX)
    string(REGEX REPLACE "^........(..)(..)$" "0x\\2\\1" count ${header})
    math(EXPR count ${count})
    string(REGEX REPLACE "(..)(..)" "0x\\2\\1, " words ${header})
    foreach(id RANGE 1 ${count})
        math(EXPR offset "16 * ${id} - 10")
        file(READ ${ico} entry OFFSET ${offset} LIMIT 12 HEX)
        string(REGEX REPLACE "(..)(..)" "0x\\2\\1, " entry ${entry})
        string(APPEND words ${entry} ${id} ", ")
    endforeach()
    string(REGEX REPLACE ", $" "" words "${words}")
    file(RELATIVE_PATH name ${CMAKE_SOURCE_DIR} ${ico})
    file(CONFIGURE OUTPUT ${output} @ONLY CONTENT
        "// Written by CMake from ${name}: its icon directory, naming images 1 to ${count}.\n#define ${macro} ${words}\n")
endfunction()

# Sets OUT to VERSION as a version resource's four numbers ("1.24" gives "1,24,0,0"). The
# resource holds four 16-bit numbers beside the version as written, and both must say the
# same: so N.N or N.N.N, without leading zeros, each part at most 65535.
function(quindle_version_numbers version out)
    set(part "(0|[1-9][0-9]*)")
    if(NOT version MATCHES "^${part}\\.${part}(\\.${part})?$")
        message(FATAL_ERROR "The program's version resource cannot carry the project version \"${version}\": "
            "write it as N.N or N.N.N (digits, no leading zeros) in project(Quindle VERSION ...) in CMakeLists.txt.")
    endif()
    # An empty third part adds nothing to the list: the zeros fill it up to four.
    set(numbers ${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_4} 0 0)
    list(SUBLIST numbers 0 4 numbers)
    foreach(number IN LISTS numbers)
        string(LENGTH "${number}" digits)
        if(digits GREATER 5 OR number GREATER 65535)
            message(FATAL_ERROR "The program's version resource cannot carry the project version \"${version}\": "
                "${number} is more than 65535, the most a part of it can hold.")
        endif()
    endforeach()
    list(JOIN numbers "," numbers)
    set(${out} ${numbers} PARENT_SCOPE)
endfunction()
