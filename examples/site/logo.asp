<%@ Language="JScript" %><%
// A chart with the site's logo (64 x 32 pixels) stamped in its bottom-right
// corner. The stamp copies the stamp surface's whole image (193 x 113 pixels:
// the logo on a white background) to the position given; placed near the
// bottom-right corner, the white remainder falls beyond the chart's edges and
// is cut off, so only the logo shows.
var chart = Server.CreateObject("Quenza.QuenzaChart");
chart.Height = 3;
chart.Width = 4;
chart.ChartType = 1;
chart.ChartTitle = "Stamped";
chart.Rows(4);
chart.Columns(1);
for (var r = 1; r <= 4; r++) {
  chart.CurrentRow(r);
  chart.SetData(r * r);
}
// 4 x 3 inches is 384 x 288 pixels; keep the logo 6 pixels from the edges.
chart.PastePicture(384 - 64 - 6, 288 - 32 - 6, Server.MapPath("logo.bmp"));
chart.SendChart();
%>
