package com.wq.tav.adapter;

import static com.wq.tav.adapter.CheckOutput.*;

import com.wq.tav.adapter.api.QELInterface;
import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.util.Locale;

// Drives the QELInterface natives for one case and prints what Java saw:
// the calling thread's GTUID window and the values returned, one "key=value"
// line each. Any throwable that leaves a native is printed as "thrown=...".
public final class QelCheck {
    private static final GTUID g = new GTUID();
    private static final QELInterface q = new QELInterface();

    private static ByteBuffer bind() {
        ByteBuffer w = g.thrSTART();
        GTUID.window.set(w);
        return w;
    }

    private static byte[] ascii(String s) {
        return s.getBytes(StandardCharsets.US_ASCII);
    }

    private static String text(byte[] b) {
        return b == null ? "null" : new String(b, StandardCharsets.US_ASCII);
    }

    // The identifier as the queue records show it: two decimal digits a byte.
    private static String digits(ByteBuffer w) {
        StringBuilder s = new StringBuilder();
        for (int i = 5; i < 16; i++) s.append(String.format("%02d", (w.get(i) & 0xff) % 100));
        return s.toString();
    }

    private static int seq(ByteBuffer w) {
        return w.getShort(16) & 0xffff;
    }

    // What a case reports about a window under `tag`.
    private static void window(String tag, ByteBuffer w) {
        print(tag + ".marker", hex(w, 0, 4));
        print(tag + ".flag", w.get(4));
        print(tag + ".digits", digits(w));
        print(tag + ".seq", seq(w));
        print(tag + ".svc", w.get(21));
        print(tag + ".hop", (w.get(85) & 0x10) != 0);
        print(tag + ".hex", hex(w, 0, 96));
    }

    // A 96-byte record as text: marker, flag and identifier bytes as given,
    // everything else zero.
    private static String record(String marker, int flag, int idByte) {
        ByteBuffer r = ByteBuffer.allocate(96);
        for (int i = 0; i < 4; i++) r.put(i, (byte) Integer.parseInt(marker.substring(2 * i, 2 * i + 2), 16));
        r.put(4, (byte) flag);
        for (int i = 5; i < 16; i++) r.put(i, (byte) idByte);
        return hex(r, 0, 96);
    }

    // One thread's active record is taken over by a second thread (from
    // upper-case text in a longer array), handed out again, then the hop
    // ends on that thread.
    private static void handout() throws InterruptedException {
        ByteBuffer origin = bind();
        run("createGTUID", g::createGTUID);
        window("origin", origin);
        String sent = hex(origin, 0, 96).toUpperCase(Locale.ROOT) + "zzzz";
        Thread t = new Thread(() -> {
            ByteBuffer w = bind();
            window("before", w);
            run("setValue", () -> q.setValue(1, ascii(sent)));
            window("taken", w);
            print("action", g.getACTION());
            byte[] got = call("getValue", () -> q.getValue(3));
            print("got", text(got));
            print("got.length", got == null ? -1 : got.length);
            window("handed", w);
            print("action", g.getACTION());
            byte[] again = call("getValue", () -> q.getValue(3));
            print("again", text(again));
            window("ended", w);
        });
        t.start();
        t.join();
        print("puts", GTUID.puts.get());
    }

    // Without a Java hop getValue ends the active transaction and returns
    // null; with none active it only resets the service byte.
    private static void hopless() {
        ByteBuffer w = bind();
        run("createGTUID", g::createGTUID);
        w.put(21, (byte) 7);
        window("active", w);
        print("got", text(call("getValue", () -> q.getValue(3))));
        window("ended", w);
        w.put(21, (byte) 9);
        print("idle", text(call("getValue", () -> q.getValue(3))));
        window("idle", w);
    }

    // The thread's action word alone marks a Java hop too; only the mark is
    // cleared from it.
    private static void action() {
        ByteBuffer w = bind();
        run("createGTUID", g::createGTUID);
        run("setACTION", () -> g.setACTION(0x11));
        window("active", w);
        print("got", text(call("getValue", () -> q.getValue(3))));
        window("handed", w);
        print("action", g.getACTION());
    }

    // A record without a transaction ends the thread's own and is not taken.
    private static void inactive() {
        ByteBuffer w = bind();
        run("createGTUID", g::createGTUID);
        window("active", w);
        run("setValue", () -> q.setValue(1, ascii(record("020a240f", 0, 0x11))));
        window("ended", w);
    }

    // An active record without the marker gets the marker.
    private static void marker() {
        ByteBuffer w = bind();
        run("setValue", () -> q.setValue(1, ascii(record("00000000", 1, 0x17))));
        window("taken", w);
    }

    // setValue(2) starts a transaction only when none is active.
    private static void start() {
        ByteBuffer w = bind();
        run("setValue", () -> q.setValue(2, null));
        window("first", w);
        run("setValue", () -> q.setValue(2, null));
        window("second", w);
        print("puts", GTUID.puts.get());
    }

    // Bad values, other types and an excluded thread change nothing; a
    // valid active record would have been taken over by type 1.
    private static void ignored() {
        ByteBuffer w = bind();
        run("createGTUID", g::createGTUID);
        w.put(85, (byte) 0x10);  // a Java hop: a wrong type 3 would hand out
        window("before", w);
        String good = record("020a240f", 1, 0x21);
        char[] bad = good.toCharArray();
        bad[191] = 'g';
        run("setValue", () -> q.setValue(1, null));
        run("setValue", () -> q.setValue(1, ascii(good.substring(0, 191))));
        run("setValue", () -> q.setValue(1, ascii(new String(bad))));
        run("setValue", () -> q.setValue(1, new byte[0]));
        // Hexadecimal, but not a record a peer would accept (digit byte 0xc8).
        run("setValue", () -> q.setValue(1, ascii(record("020a240f", 1, 200))));
        for (int type : new int[] {0, 3, -1}) run("setValue", () -> q.setValue(type, ascii(good)));
        for (int type : new int[] {0, 1, 2, 4}) print("get" + type, text(call("getValue", () -> q.getValue(type))));
        window("after", w);
        run("setBL", () -> g.setBL(0));
        run("setValue", () -> q.setValue(1, ascii(good)));
        print("excludedGet", text(call("getValue", () -> q.getValue(3))));
        run("setBL", () -> g.setBL(-1));
        window("excluded", w);
        print("puts", GTUID.puts.get());
    }

    public static void main(String[] args) throws Exception {
        System.load(args[0]);
        switch (args[1]) {
            case "handout": handout(); break;
            case "hopless": hopless(); break;
            case "action": action(); break;
            case "inactive": inactive(); break;
            case "marker": marker(); break;
            case "start": start(); break;
            case "ignored": ignored(); break;
            default: throw new IllegalArgumentException(args[1]);
        }
        print("done", true);
    }
}
