#!/usr/bin/python3
# The sentence port (argument: PORT) read by Debian's python3-nmea2: "connected", then a line per
# sentence with a position (type, position) or "unparsed" and its first word; wrong checksum: 1.
import socket
import sys

import pynmea2

connection = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
print("connected", flush=True)
reader = pynmea2.NMEAStreamReader(errors="yield")
while data := connection.recv(4096):
    for sentence in reader.next(data.decode("ascii")):
        if isinstance(sentence, pynmea2.ChecksumError):
            sys.exit(f"read_sentence_port: {sentence}")
        if isinstance(sentence, pynmea2.ParseError):
            print("unparsed", sentence.args[0][1].split(",")[0], flush=True)
        elif isinstance(sentence, pynmea2.nmea_utils.LatLonFix) and sentence.lat:
            print(sentence.sentence_type, f"{sentence.latitude:.6f} {sentence.longitude:.6f}",
                  flush=True)
