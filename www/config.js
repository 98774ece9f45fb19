// Settings an installation may override. wsPort is halyx's mqtt_ws_port,
// wssPort its mqtt_ws_tls_port (for a page loaded over https), used when
// the hub does not say them (halyx.json); #ws=PORT at the end of the page's
// address takes precedence over both.
var halyxConfig = {
  wsPort: 8080,
  wssPort: 8081,
};
