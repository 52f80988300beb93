#!/usr/bin/python3
# A second serial device server for the network tests: Debian's python3-serial
# telnet serial port control server (its PortManager) in front of a modelled
# UART. The UART's transmitter sends what it holds to a tty at the speed the
# client set, so data really waits in it, and a purge of its transmit side
# empties it, as a real UART's does (a pty takes every byte at once, and a
# purge there finds nothing to drop).
#
#   uart_server.py PORT DEVICE LOG
#
# Listens on 127.0.0.1:PORT, one client at a time; writes "listening" to LOG
# once it does, and a line for every purge ("purge tx 140": bytes dropped).
import os
import select
import socket
import sys
import termios
import threading
import time
import tty

import serial.rfc2217

# What the server reads from the client while its UART is busy: more waits in
# the socket, as on a server whose buffer is full.
HELD = 1024


class Uart:
    def __init__(self, fd, log):
        self.fd = fd
        self.log = log
        self.cv = threading.Condition()
        self.tx = bytearray()
        self.baudrate = 9600
        self.bytesize = 8
        self.parity = 'N'
        self.stopbits = 1
        self.xonxoff = False
        self.rtscts = False
        self.dsrdtr = False
        self.dtr = True
        self.rts = True
        self.break_condition = False
        threading.Thread(target=self._send, daemon=True).start()

    # The modem lines of a machine tool that is switched on.
    cts = property(lambda self: True)
    dsr = property(lambda self: True)
    ri = property(lambda self: False)
    cd = property(lambda self: True)

    def room(self):
        with self.cv:
            return len(self.tx) < HELD

    def write(self, data):
        with self.cv:
            self.tx += data
            self.cv.notify()
        return len(data)

    def reset_output_buffer(self):
        with self.cv:
            dropped = len(self.tx)
            self.tx.clear()
        self.log(f"purge tx {dropped}")

    def reset_input_buffer(self):
        termios.tcflush(self.fd, termios.TCIFLUSH)
        self.log("purge rx")

    def _send(self):
        # One character time per byte at the speed set: 10 bits a character.
        while True:
            with self.cv:
                while not self.tx:
                    self.cv.wait()
                n = max(1, min(len(self.tx), int(self.baudrate / 10 * 0.01)))
                chunk = bytes(self.tx[:n])
                del self.tx[:n]
                rate = self.baudrate / 10
            try:
                os.write(self.fd, chunk)
            except OSError:
                pass
            time.sleep(n / rate)


class Connection:
    def __init__(self, sock):
        self.sock = sock

    def write(self, data):
        self.sock.sendall(data)


def main():
    port, device, log_path = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    log_file = open(log_path, 'a', buffering=1)

    def log(text):
        log_file.write(text + "\n")

    fd = os.open(device, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    uart = Uart(fd, log)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(1)
    log("listening")
    while True:
        sock, _ = listener.accept()
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        manager = serial.rfc2217.PortManager(uart, Connection(sock))
        try:
            while True:
                want = [fd] + ([sock] if uart.room() else [])
                ready, _, _ = select.select(want, [], [], 0.05)
                if sock in ready:
                    data = sock.recv(4096)
                    if not data:
                        break
                    uart.write(b"".join(manager.filter(data)))
                if fd in ready:
                    data = os.read(fd, 4096)
                    if data:
                        sock.sendall(b"".join(manager.escape(data)))
                manager.check_modem_lines()
        except OSError:
            pass
        sock.close()


main()
