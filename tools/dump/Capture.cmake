# The capture reader's sources and libpcap, shared by tools/dump and fuzz/:
#   VITA49_CAPTURE_SOURCES  the parts that need no libpcap (link layers, IP, TCP, framing)
#   VITA49_CAPTURE_PCAP_SOURCES  reading files, with libpcap
#   vita49_pcap             imported target, defined when libpcap and its header are found
#                           (Debian: libpcap-dev)
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
