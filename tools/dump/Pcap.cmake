# libpcap, for reading capture files: defines the imported target vita49_pcap when the
# library and its header are found (Debian: libpcap-dev). Included by tools/dump and fuzz/.
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
