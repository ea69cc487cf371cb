#!/usr/bin/env python3
"""A Modbus TCP server with known contents, for zq modbus's tests and demo.

Runs pymodbus's own server (Debian's python3-pymodbus 3.0) on a loopback
port and answers one unit id. Prints "ready PORT" once it listens, and
serves until it is killed.

  python3 modbus_server.py --port 5020 [--unit 1] [--variant 0]

Contents (0-based protocol addresses; --variant N adds N to holding
register 0 and input register 100, so that a restarted server is told apart):

  holding registers 0..299
    0      1234                      word
    1      0xFFFF                    word -1
    2, 3   0xE240, 0x0001            123456, low word first  (DT_LONG_WS)
    4, 5   0xFFFE, 0x7960            -100000, high word first (DT_LONG)
    6, 7   0x449A, 0x5000            1234.5 float, high word first (DT_FLOAT)
    8      0x0005                    bits 0 and 2 set
    10..13 "ABCDEFG\\0"              text, first character in the high byte
    26     0x0101                    bits 0 and 8 set
    i      i for 100..299
    others 0
  input registers 100..109
    100    7
    101    0xFFF6                    -10
    102, 103  0x3F00, 0x0000         0.5 float, high word first
  coils 0..2499: 0, 3, 9 and every 7th from 100 on
  discrete inputs 0..2499: 10, 12 and 17 on
"""
import argparse
import asyncio
import logging
import sys

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.server import StartAsyncTcpServer

HOLDING_SIZE = 300
INPUT_START = 100
INPUT_SIZE = 10
BIT_SIZE = 2500


def holding_registers(variant):
    regs = [0] * HOLDING_SIZE
    regs[0] = 1234 + variant
    regs[1] = 0xFFFF
    regs[2:4] = [0xE240, 0x0001]
    regs[4:6] = [0xFFFE, 0x7960]
    regs[6:8] = [0x449A, 0x5000]
    regs[8] = 0x0005
    text = b"ABCDEFG\0"
    regs[10:14] = [(text[i] << 8) | text[i + 1] for i in range(0, len(text), 2)]
    regs[26] = 0x0101
    for i in range(100, HOLDING_SIZE):
        regs[i] = i
    return regs


def input_registers(variant):
    regs = [0] * INPUT_SIZE
    regs[0] = 7 + variant
    regs[1] = 0xFFF6
    regs[2:4] = [0x3F00, 0x0000]
    return regs


def bits(on):
    return [i in on for i in range(BIT_SIZE)]


def context(unit, variant):
    slave = ModbusSlaveContext(
        co=ModbusSequentialDataBlock(0, bits({0, 3, 9} | set(range(100, BIT_SIZE, 7)))),
        di=ModbusSequentialDataBlock(0, bits({10, 12, 17})),
        hr=ModbusSequentialDataBlock(0, holding_registers(variant)),
        ir=ModbusSequentialDataBlock(INPUT_START, input_registers(variant)),
        zero_mode=True)
    return ModbusServerContext(slaves={unit: slave}, single=False)


async def serve(args):
    server = await StartAsyncTcpServer(context(args.unit, args.variant),
                                       address=("127.0.0.1", args.port),
                                       allow_reuse_address=True,
                                       defer_start=True)
    task = asyncio.create_task(server.serve_forever())
    await server.serving
    print("ready", args.port, flush=True)
    await task


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--unit", type=int, default=1)
    parser.add_argument("--variant", type=int, default=0)
    args = parser.parse_args()
    logging.basicConfig(level=logging.CRITICAL)
    try:
        asyncio.run(serve(args))
    except KeyboardInterrupt:
        pass
    except OSError as e:
        print("modbus_server:", e, file=sys.stderr, flush=True)
        sys.exit(1)


if __name__ == "__main__":
    main()
