package com.wq.tav.agent.plugin;

import java.io.File;

/**
 * Test host of librelay-jni: starts the relay with the settings file named by
 * the first argument, waits until the file named by the second argument
 * exists, then stops the relay and reports both results.
 */
public final class RLYControlPlugin {
    public static native int startRLY(String path);

    public static native int stopRLY();

    private RLYControlPlugin() {}

    public static void main(String[] args) throws InterruptedException {
        System.loadLibrary("relay-jni");
        int rc = startRLY(args[0]);
        System.out.println("startRLY returned " + rc);
        System.out.flush();
        File stop = new File(args[1]);
        long deadline = System.currentTimeMillis() + 60_000;
        while (!stop.exists() && System.currentTimeMillis() < deadline) {
            Thread.sleep(20);
        }
        long t0 = System.currentTimeMillis();
        stopRLY();
        System.out.println("stopRLY returned after " + (System.currentTimeMillis() - t0) + " ms");
        System.out.flush();
    }
}
