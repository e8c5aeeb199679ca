#!/usr/bin/python3
# A client of the sentence port that nobody here wrote: Debian's python3-nmea2 stream reader
# (package python3-nmea2) reads the port and prints, for each sentence that carries a position,
# its type and the position in degrees with 6 decimals, and for each sentence it has no parser
# for, "unparsed" and the sentence's first word; one line each, until the program closes the
# connection. A sentence whose checksum does not hold ends it with status 1.
#   tests/e2e/read_sentence_port.py PORT
import socket
import sys

import pynmea2

connection = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
print("connected", flush=True)
reader = pynmea2.NMEAStreamReader(errors="yield")
while data := connection.recv(4096):
    for sentence in reader.next(data.decode("ascii")):
        if isinstance(sentence, pynmea2.ChecksumError):
            print(f"read_sentence_port: {sentence}", flush=True)
            sys.exit(1)
        if isinstance(sentence, pynmea2.ParseError):
            print("unparsed", sentence.args[0][1].split(",")[0], flush=True)
        elif getattr(sentence, "lat", ""):
            print(f"{sentence.sentence_type} {sentence.latitude:.6f} {sentence.longitude:.6f}",
                  flush=True)
