# The JVM binds native methods by export name, and Velloran's JVM has only system DLLs beside it: the DLL
# must export exactly the methods of app.WindowsFuncJNI, undecorated, and import only Windows libraries.
# Usage: cmake -DOBJDUMP=<objdump> -DDLL=<VelloranLib2.dll> -P check_exports.cmake
set(expected
    Java_app_WindowsFuncJNI_doComputerSleep
    Java_app_WindowsFuncJNI_doKeyPressDown
    Java_app_WindowsFuncJNI_doKeyPressUp
    Java_app_WindowsFuncJNI_doMediaNextTrack
    Java_app_WindowsFuncJNI_doMediaPlayPause
    Java_app_WindowsFuncJNI_doMediaPreviousTrack
    Java_app_WindowsFuncJNI_doMediaStop
    Java_app_WindowsFuncJNI_doMediaVolumeDown
    Java_app_WindowsFuncJNI_doMediaVolumeMute
    Java_app_WindowsFuncJNI_doMediaVolumeUp)

execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed (${rc})")
endif()

# Names follow the "[Ordinal/Name Pointer] Table" heading as "[   0] Name", one a line, until a blank line.
string(FIND "${dump}" "[Ordinal/Name Pointer] Table" at)
set(exported "")
if(at GREATER -1)
  string(SUBSTRING "${dump}" ${at} -1 table)
  string(REGEX MATCH "Table\n(\t\\[[ 0-9]+\\] [^\n]+\n)*" table "${table}")
  # Brackets would upset CMake's list splitting, so the "[   0] " columns go before the lines are split.
  string(REGEX REPLACE "\t\\[[ 0-9]+\\] " "" table "${table}")
  string(SUBSTRING "${table}" 6 -1 table)
  string(STRIP "${table}" table)
  string(REPLACE "\n" ";" exported "${table}")
endif()
list(SORT exported)

set(failed FALSE)
if(NOT exported STREQUAL expected)
  string(REPLACE ";" "\n  " want "${expected}")
  string(REPLACE ";" "\n  " got "${exported}")
  message(SEND_ERROR "Export table differs.\nExpected:\n  ${want}\nFound:\n  ${got}")
  set(failed TRUE)
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
foreach(import IN LISTS imports)
  string(SUBSTRING "${import}" 10 -1 name)
  string(TOLOWER "${name}" lower)
  if(NOT lower MATCHES "^(kernel32|user32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\\.dll$")
    message(SEND_ERROR "Imports ${name}, which a Windows machine without MinGW does not have")
    set(failed TRUE)
  endif()
endforeach()

if(NOT failed)
  list(LENGTH exported count)
  message(STATUS "${count} exports as expected; imports: ${imports}")
endif()
