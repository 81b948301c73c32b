package com.wq.tav.api;

// Test version of the API class: its three natives only log.
public class TAVApi {
    public native int tavJNIGet(String s, int n);
    public native int tavJNIPut(String s, int n);
    public native int tavJNIEnd();
}
