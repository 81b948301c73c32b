package com.wq.tav.common.packet.dtc;

import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;

// Test version of the adapter's packet: a master message with code
// "WASP000001" whose body is a text. Flags make it misbehave the ways the
// library must survive.
public class Packet {
    private final byte[] body;
    public volatile int lengthOverride = -1;  // computeLength returns this when >= 0
    public volatile boolean throwInLength;
    public volatile boolean throwInGetByte;
    public volatile int getByteResult;
    public volatile int getByteCalls;
    public volatile int capacitySeen = -1;

    public Packet(String text) {
        body = text.getBytes(StandardCharsets.UTF_8);
    }

    public int computeLength() {
        if (throwInLength) throw new IllegalStateException("thrown by computeLength");
        return lengthOverride >= 0 ? lengthOverride : 28 + body.length;
    }

    public int getByte(ByteBuffer b) {
        getByteCalls++;
        capacitySeen = b.capacity();
        if (throwInGetByte) throw new IllegalStateException("thrown by getByte");
        b.putInt(28 + body.length);
        b.put("$TAV0WASP0000012".getBytes(StandardCharsets.US_ASCII));
        b.put(new byte[2]);
        b.put("00000     ".getBytes(StandardCharsets.US_ASCII));
        b.put(body);
        return getByteResult;
    }

    public native int putClass();
}
