package com.wq.tav.adapter;

import java.nio.ByteBuffer;

// What the check classes print, one "key=value" line each, and how they call
// a native: a throwable that leaves it is printed as "thrown=<native> ...".
final class CheckOutput {
    private CheckOutput() {}

    interface Call<T> {
        T run();
    }

    static <T> T call(String name, Call<T> c) {
        try {
            return c.run();
        } catch (Throwable t) {
            System.out.println("thrown=" + name + " " + t);
            return null;
        }
    }

    static void run(String name, Runnable r) {
        call(name, () -> {
            r.run();
            return null;
        });
    }

    static void print(String key, Object value) {
        System.out.println(key + "=" + value);
    }

    // Bytes from..to-1 of the buffer as lower-case hexadecimal.
    static String hex(ByteBuffer b, int from, int to) {
        StringBuilder s = new StringBuilder();
        for (int i = from; i < to; i++) s.append(String.format("%02x", b.get(i) & 0xff));
        return s.toString();
    }
}
