# cmake -DEVENT_IDS=<service/event_ids.h> -DOUTPUT=<messages.mc> -P message_table.cmake
# Writes the event source's message table source from the event identifiers,
# so that the two never disagree: one message for each "#define EVENT_<NAME> <N>",
# named MSG_<NAME>. Every entry carries two strings, the first naming the
# source (with the code for errors and warnings), the second saying what
# happened; each message shows the second, then the first.
cmake_minimum_required(VERSION 3.20)

file(STRINGS "${EVENT_IDS}" defines REGEX "^#define EVENT_[A-Z0-9_]+ +[0-9]+ *$")
if(NOT defines)
  message(FATAL_ERROR "message_table: no event identifiers in ${EVENT_IDS}")
endif()
set(mc "MessageIdTypedef=DWORD\nLanguageNames=(English=0x409:MSG00409)\n")
set(seen "")
foreach(line ${defines})
  string(REGEX REPLACE "^#define EVENT_([A-Z0-9_]+) +([0-9]+) *$" "\\1;\\2" pair "${line}")
  list(GET pair 0 name)
  list(GET pair 1 id)
  if(id IN_LIST seen)
    message(FATAL_ERROR "message_table: identifier ${id} defined twice in ${EVENT_IDS}")
  endif()
  list(APPEND seen ${id})
  string(APPEND mc "\nMessageId=${id}\nSymbolicName=MSG_${name}\nLanguage=English\n%2%n%1\n.\n")
endforeach()
file(WRITE "${OUTPUT}" "${mc}")
