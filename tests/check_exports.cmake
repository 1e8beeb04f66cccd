# Checks that the shared library exports exactly the public interface (the
# eleven exports and the link API) and that it references no heap allocator.
execute_process(COMMAND nm -D --defined-only ${LIBRARY} OUTPUT_VARIABLE defined RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
set(expected Init_Msg_Bin Get_Version MuxSendComm MuxReceiveComm SaveBuffer LoadBuffer ChiudiFile
    ApriFile CreaFile ShiftMask Invia_Ack
    kavrol_link_init kavrol_link_send kavrol_link_receive kavrol_link_ack kavrol_link_port_lost
    kavrol_link_last_received kavrol_link_last_sent kavrol_frame_checksum kavrol_result_name)
string(REGEX MATCHALL "[ \t][TDBRVWiu] [^\n]+" lines "${defined}")
set(found "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[ \t][A-Za-z] " "" name "${line}")
  string(REGEX REPLACE "@.*$" "" name "${name}")
  list(APPEND found ${name})
endforeach()
list(REMOVE_DUPLICATES found)
list(SORT found)
set(sorted_expected ${expected})
list(SORT sorted_expected)
if(NOT found STREQUAL sorted_expected)
  message(FATAL_ERROR "exports differ:\n  found:    ${found}\n  expected: ${sorted_expected}")
endif()

execute_process(COMMAND nm -D --undefined-only ${LIBRARY} OUTPUT_VARIABLE undefined)
foreach(allocator malloc calloc realloc _Znwm _Znam _Znwj _Znaj)
  if(undefined MATCHES "[ \t]${allocator}(@|\n)")
    message(FATAL_ERROR "the library references the allocator ${allocator}")
  endif()
endforeach()
message(STATUS "exports: ${found}")
