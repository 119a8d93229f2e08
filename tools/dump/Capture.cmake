# The capture reader's sources and libpcap, shared by tools/dump and fuzz/:
#   VITA49_CAPTURE_SOURCES  the parts that need no libpcap (link layers, IP, TCP, framing)
#   VITA49_CAPTURE_PCAP_SOURCES  reading files, with libpcap
#   vita49_pcap             imported target, defined when libpcap and its header are found
#                           (Debian: libpcap-dev)
#   vita49_capture_library()  defines the reader as the library vita49capture, once, for the
#                           tools that read captures (vita49-dump, the simulator's replay);
#                           without libpcap it reads raw files only and says so for the others
set(VITA49_CAPTURE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/CaptureTypes.cpp
  ${CMAKE_CURRENT_LIST_DIR}/IpReassembler.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TcpReassembler.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CaptureReader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PacketFramer.cpp)
set(VITA49_CAPTURE_PCAP_SOURCES ${CMAKE_CURRENT_LIST_DIR}/CaptureFile.cpp)
if(NOT TARGET vita49_pcap)
  find_path(VITA49_PCAP_INCLUDE_DIR pcap/pcap.h)
  find_library(VITA49_PCAP_LIBRARY pcap)
  if(VITA49_PCAP_INCLUDE_DIR AND VITA49_PCAP_LIBRARY)
    add_library(vita49_pcap UNKNOWN IMPORTED GLOBAL)
    set_target_properties(vita49_pcap PROPERTIES
      IMPORTED_LOCATION ${VITA49_PCAP_LIBRARY}
      INTERFACE_INCLUDE_DIRECTORIES ${VITA49_PCAP_INCLUDE_DIR})
  endif()
endif()

function(vita49_capture_library)
  if(TARGET vita49capture)
    return()
  endif()
  add_library(vita49capture STATIC ${VITA49_CAPTURE_SOURCES} ${VITA49_CAPTURE_PCAP_SOURCES})
  # tools/ for the tools' headers; the project root for the library's packet layout
  target_include_directories(vita49capture PUBLIC ${PROJECT_SOURCE_DIR}/tools PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_features(vita49capture PUBLIC cxx_std_17)
  if(TARGET vita49_pcap)
    target_link_libraries(vita49capture PUBLIC vita49_pcap)
  else()
    target_compile_definitions(vita49capture PRIVATE VITA49_CAPTURE_NO_PCAP)
  endif()
  vita49_set_warnings(vita49capture)
endfunction()
