# Writes a side-by-side manifest from a template, with the identifiers taken
# from the interface description itself, so the manifest and the type library
# cannot name different classes. Run by the build:
#   cmake -DIDL=... -DTEMPLATE=... -DOUTPUT=... -DVERSION=1.0.0.1
#         -DARCH=x86|amd64 [-DAPP_NAME=...] -P manifests.cmake
# The template may use @IID@, @LIBID@, @CLSID@ (braced, upper case),
# @LIBVERSION@ (major.minor), @VERSION@, @ARCH@ and @APP_NAME@.
foreach(var IDL TEMPLATE OUTPUT VERSION ARCH)
    if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
        message(FATAL_ERROR "manifests.cmake: ${var} is not set")
    endif()
endforeach()
if(NOT ARCH MATCHES "^(x86|amd64)$")
    message(FATAL_ERROR "manifests.cmake: ARCH must be x86 or amd64, not '${ARCH}'")
endif()
if(NOT VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$")
    message(FATAL_ERROR "manifests.cmake: VERSION must have four parts, not '${VERSION}'")
endif()

file(READ "${IDL}" idl)
# Line comments may mention anything; only the attribute blocks count.
string(REGEX REPLACE "//[^\n]*" "" idl "${idl}")
# Each "[ attributes ] keyword Name" of the description, keyword and name kept.
string(REGEX MATCHALL "\\[[^]]*\\][ \t\r\n]*(interface|library|coclass)[ \t\r\n]+[A-Za-z_][A-Za-z0-9_]*"
       blocks "${idl}")

set(guid "[0-9A-Fa-f]+-[0-9A-Fa-f]+-[0-9A-Fa-f]+-[0-9A-Fa-f]+-[0-9A-Fa-f]+")
# CMake's expressions have no {n}: four hex digits spelled out.
set(h4 "[0-9A-F][0-9A-F][0-9A-F][0-9A-F]")
foreach(kind interface library coclass)
    set(found_${kind} 0)
endforeach()
foreach(block IN LISTS blocks)
    string(REGEX MATCH "\\][ \t\r\n]*(interface|library|coclass)" kind "${block}")
    set(kind "${CMAKE_MATCH_1}")
    if(NOT block MATCHES "uuid\\((${guid})\\)")
        continue()  # an interface declared without one of its own
    endif()
    string(TOUPPER "{${CMAKE_MATCH_1}}" id)
    if(NOT id MATCHES "^{${h4}${h4}-${h4}-${h4}-${h4}-${h4}${h4}${h4}}$")
        message(FATAL_ERROR "manifests.cmake: '${id}' in ${IDL} is not a GUID")
    endif()
    math(EXPR found_${kind} "${found_${kind}} + 1")
    if(kind STREQUAL "interface")
        set(IID "${id}")
    elseif(kind STREQUAL "coclass")
        set(CLSID "${id}")
    else()
        set(LIBID "${id}")
        if(NOT block MATCHES "version\\(([0-9]+)\\.([0-9]+)\\)")
            message(FATAL_ERROR "manifests.cmake: the library in ${IDL} has no version(major.minor)")
        endif()
        set(LIBVERSION "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}")
    endif()
endforeach()
# The manifest describes exactly one interface, one library and one class.
foreach(kind interface library coclass)
    if(NOT found_${kind} EQUAL 1)
        message(FATAL_ERROR "manifests.cmake: ${IDL} has ${found_${kind}} ${kind} blocks with a uuid, expected 1")
    endif()
endforeach()

configure_file("${TEMPLATE}" "${OUTPUT}" @ONLY NEWLINE_STYLE CRLF)
# The template's comments are for whoever reads the template; the manifest
# the library carries goes without them.
file(READ "${OUTPUT}" manifest)
string(REGEX REPLACE "[ \t]*<!--[^>]*-->\r?\n" "" manifest "${manifest}")
file(WRITE "${OUTPUT}" "${manifest}")
