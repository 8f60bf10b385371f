#!/usr/bin/env python3
"""A name server that reads every query on 127.0.0.2:53 and never answers."""
import socket

s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.2", 53))
while True:
    s.recv(4096)
